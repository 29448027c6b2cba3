# The process table: one plug-in per setting left changed after cleanup,
# each named by process-left-as-found with the call that changed it; and the
# control that changes a signal action and puts it back, which passes.
# Included from tests/CMakeLists.txt after plugin_check.cmake.

if(WIN32)
  return()  # the faults are Linux settings; Windows reads few of its own rows
endif()

function(table_plugin name macro)
  tamrix_add_physics_plugin(table_${name} SERVICE_TABLE process_table_plugin.c)
  target_compile_definitions(table_${name} PRIVATE ${macro})
  uninstrumented_plugin(table_${name})
endfunction()

# <fault> % what process-left-as-found says after "tamrix_physics_init "
set(table_faults
    "rlimit % lowered RLIMIT_NOFILE from [0-9]+ to 64"
    "nice % raised the nice value from -?[0-9]+ to"
    "affinity % changed the CPU affinity from CPUs"
    "policy % changed the scheduling policy from SCHED_OTHER to SCHED_BATCH"
    "thread_name % renamed the calling thread from .* to physics"
    "dumpable % changed PR_SET_DUMPABLE from 1 to 0"
    "pdeathsig % changed the parent-death signal \\(PR_SET_PDEATHSIG\\) from none to SIGKILL"
    "no_new_privs % turned no-new-privileges \\(PR_SET_NO_NEW_PRIVS\\) from off to on"
    "timer_slack % raised the timer slack"
    "personality % changed the personality from"
    "itimer % left ITIMER_REAL armed \\(was disarmed\\)"
    "posix_timer % left POSIX timer [0-9]+ .*never deleted"
    "alternate_stack % changed the alternate signal stack from .* to 65536 bytes at"
    "process_group % moved the process from process group"
    "session % moved the process from process group [0-9]+ to [0-9]+ \\(and 1 more: tamrix_physics_init moved the process from session [0-9]+ to"
    "library_left % left $<TARGET_FILE_NAME:empty_library> loaded"
    "writable_executable % left a writable and executable mapping at"
    "uselocale % left the calling thread in a locale of its own"
    "wide_stdout % made stdout wide-oriented"
    "stdout_buffer % gave stdout a buffer at 0x[0-9a-f]+ \\(setvbuf\\)"
    "stdout_is_stderr % pointed stdout at stderr's own FILE instead of stdout's own FILE"
    "dup2_swap % pointed descriptor [0-9]+ at .* instead of")
# qemu's user-mode emulation passes neither a subreaper nor a system call
# filter on to the kernel.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  list(APPEND table_faults "subreaper % turned child subreaper"
                           "seccomp_filter % changed the seccomp mode from 0 to 2")
endif()
# Sanitizer runtimes map large regions of their own: that row is not read
# there, and locking all memory would fault in their whole shadow.
if(NOT MY_PHYSICS1_SANITIZE)
  list(APPEND table_faults "big_mapping % left a [0-9]+ MiB mapping at"
                           "mlockall % locked memory into RAM")
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND table_faults "x87_full % left the x87 registers in use \\(8 of 8, was 0 of 8\\)")
endif()
# Only root may change these; elsewhere the test says it was skipped.
set(root_only euid mount_namespace)
set(root_faults
    "euid % changed the user ids from real 0, effective 0, saved 0 to real 0, effective 65534"
    "mount_namespace % moved the calling thread into another mnt namespace")

corpus_focus(focus process-left-as-found)

set(as_root "${CMAKE_CURRENT_BINARY_DIR}/as_root.sh")
file(WRITE "${as_root}" "#!/bin/sh\n[ \"$(id -u)\" = 0 ] || exit 77\nexec \"$@\"\n")
file(CHMOD "${as_root}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(entry IN LISTS table_faults root_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 words)
  string(TOUPPER "TABLE_${fault}" macro)
  table_plugin(${fault} ${macro})
  set(prefix "")
  if(fault IN_LIST root_only)
    set(prefix "${as_root}")  # exits 77, a skip, for anyone else
  endif()
  # plugin-check quoted, as one argument, as within_corpus_limit wants it.
  add_test(NAME plugin_check_table_${fault}
    COMMAND ${prefix} ${within_corpus_limit} "${expect_run}" 1
            "^FAIL process-left-as-found: tamrix_physics_init ${words}" -- "${plugin_check}" --strict
            ${focus} $<TARGET_FILE:table_${fault}>)
endforeach()
set_tests_properties(plugin_check_table_euid plugin_check_table_mount_namespace
                     PROPERTIES SKIP_RETURN_CODE 77)
# The call named is the one after which the row first differs.
table_plugin(rlimit_in_step "TABLE_RLIMIT;TABLE_IN_STEP")
add_test(NAME plugin_check_table_rlimit_in_step
  COMMAND ${within_corpus_limit} "${expect_run}" 1
          "^FAIL process-left-as-found: tamrix_physics_step lowered RLIMIT_NOFILE from [0-9]+ to 64"
          -- "${plugin_check}" --strict ${focus} $<TARGET_FILE:table_rlimit_in_step>)
# A row of warning level (the thread's name) is a warning unless --strict.
add_test(NAME plugin_check_table_thread_name_lenient
  COMMAND ${within_corpus_limit} "${expect_run}" 0
          "^WARN process-left-as-found: tamrix_physics_init renamed the calling thread" "!^FAIL"
          -- "${plugin_check}" ${focus} $<TARGET_FILE:table_thread_name>)
target_compile_definitions(table_library_left PRIVATE LIBRARY_LEFT="$<TARGET_FILE:empty_library>")
add_dependencies(table_library_left empty_library)

table_plugin(saved_signal_action SAVED_SIGNAL_ACTION)
add_test(NAME plugin_check_table_saved_signal_action
  COMMAND ${within_corpus_limit} "${expect_run}" 0 "^PASS signals" "^PASS process-left-as-found"
          -- "${plugin_check}" --strict --allow signals $<TARGET_FILE:table_saved_signal_action>)

# The table read from a live process, beside the snapshot's own tests.
target_sources(process_state_tests PRIVATE process_table_test.cpp)
