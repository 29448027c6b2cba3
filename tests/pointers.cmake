# plugin-check against plug-ins that leave a pointer into themselves in the
# process after unload, where no function of the host's reads it back: one
# source, one place per build, each found by the scan of life-after-unload
# alone. Included from tests/CMakeLists.txt after plugin_check.cmake, whose
# functions it uses. The places are the GNU C library's, and on Windows the
# C runtime's.

# pointers_case(<name> <status> [patterns...]): built with POINTERS_<NAME>,
# the whole strict battery ends with <status>, and its output matches each
# pattern as expect_run.sh does.
# Each plug-in writes the C library's process-wide state on purpose, which it
# allows: what is judged here is what that state still points at.
function(pointers_case name status)
  tamrix_add_physics_plugin(pointers_${name} SERVICE_TABLE pointers_plugin.c)
  string(TOUPPER "POINTERS_${name}" macro)
  target_compile_definitions(pointers_${name} PRIVATE ${macro})
  uninstrumented_plugin(pointers_${name})
  if(status EQUAL 0)
    set(focus "")
  else()
    corpus_focus(focus life-after-unload)
  endif()
  add_test(NAME plugin_check_pointers_${name}
    COMMAND ${within_corpus_limit} "${expect_run}" ${status} ${ARGN} --
            "${plugin_check}" --strict ${focus} --allow process-state,signals
            $<TARGET_FILE:pointers_${name}>)
endfunction()

set(scan "^FAIL life-after-unload: after unload, a pointer into the unloaded plug-in's")
set(alone ", 1 failed, 0 warnings")
if(WIN32)
  set(runtime "msvcrt\\.dll's data")
  pointers_case(time_zone_name 1 "${scan} data stays in ${runtime}" "${alone}")
  pointers_case(signal_handler 1 "${scan} code stays in ${runtime}" "${alone}")
  pointers_case(restores 0 "!^(FAIL|WARN)" "^PASS life-after-unload")
  return()
endif()

# Each fault fails life-after-unload with the place, and nothing else. On
# AArch64 a string lies in the executable segment, read as code; under qemu
# the heap is anonymous memory.
# A sanitizer's runtime (address, thread) reads the program's name itself,
# and crashes on the plug-in's before the scan has named it.
if(MY_PHYSICS1_SANITIZE)
  set(name_place "^FAIL life-after-unload: ")
else()
  set(name_place "${scan} (code|data) stays in (the host program|libc\\.so\\.6)'s data, near program_invocation")
endif()
pointers_case(program_name 1 "${name_place}" "${alone}")
pointers_case(error_hook 1 "${scan} code stays in libc\\.so\\.6's data, near error_print_progname"
              "${alone}")
pointers_case(time_zone_name 1 "${scan} (code|data) stays in libc\\.so\\.6's data, near (__)?tzname" "${alone}")
# The C library keeps a copy of each fork handler it dropped at unload past
# its table's end; the line names the table, and that none can be removed.
pointers_case(atfork_handlers 1
              "^FAIL life-after-unload: after unload, a fork handler of the unloaded plug-in's stays in the C library's table of fork handlers \\(pthread_atfork\\): no fork handler can be removed, .*; register no fork handler from a plug-in"
              "${alone}")
# A sanitizer's allocator wipes no freed block, so there the heap is not read.
if(NOT MY_PHYSICS1_SANITIZE)
  pointers_case(table 1 "${scan} (code|data) stays in (the heap|anonymous memory)" "${alone}")
endif()
# Taken back in cleanup: sound.
pointers_case(restores 0 "!^(FAIL|WARN)" "^PASS life-after-unload")
