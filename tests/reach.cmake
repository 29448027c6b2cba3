# plugin-check against plug-ins that reach beyond what a physics plug-in
# plainly needs: one source, one reach per build, each named by the reach
# check in its category, and sound controls that pass --strict. Included from
# tests/CMakeLists.txt after plugin_check.cmake, whose functions it uses.

add_executable(reach_tests reach_test.cpp)
target_link_libraries(reach_tests PRIVATE plugin_check_cli plugin_check_observe plugin_inspect
                                          GTest::gtest_main ${CMAKE_DL_LIBS})
gtest_discover_tests(reach_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES ${coverage_fixture})

function(reach_plugin name)
  tamrix_add_physics_plugin(reach_${name} SERVICE_TABLE reach_plugin.c)
  string(TOUPPER "REACH_${name}" macro)
  target_compile_definitions(reach_${name} PRIVATE ${macro})
  uninstrumented_plugin(reach_${name})
endfunction()

# Where plugin-check watches the plug-in's calls (glibc, no sanitizer), the
# reach check names the call and the hook it was made in; elsewhere the import.
# Windows watches the loader's look-ups and loads only.
if(NOT MY_PHYSICS1_SANITIZE)
  set(reached_by "tamrix_physics_init called")
  set(why_unseen ".*missing export getBody")
else()
  set(reached_by "the plug-in imports")
  set(why_unseen "not watched in a build whose sanitizer")
endif()

# reach_fault(<name> <category> <what>): built with REACH_<NAME>, the report
# opens with <category>'s line naming <what>, and --strict fails the reach
# check on it, naming the call in init where it is watched.
function(reach_fault name category what)
  reach_plugin(${name})
  corpus_focus(focus reach)
  add_test(NAME plugin_check_reach_${name}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^reach ${category} \\(.*${what}"
            "^FAIL reach: ${reached_by} ([^;]* )?${what}.*; remove the call, or allow its category with --allow"
            ${ARGN} -- "${plugin_check}" --strict ${focus} $<TARGET_FILE:reach_${name}>)
endfunction()

# A category reached only through a name looked up at run time: the file's
# imports name the look-up, never what it found, so unwatched only the look-up
# is told.
if(NOT MY_PHYSICS1_SANITIZE)
  reach_fault(looks_up_environment process-state "looked up getenv")
else()
  reach_fault(looks_up_environment loading "dlsym")
endif()

# On Windows the plug-in's own import table is pointed at the watch: the test
# program links it as plugin-check does. The sound controls there are the
# plug-ins of plugin_check.cmake: MinGW's own formatting code imports stream,
# locale and code page functions into any DLL that calls snprintf, which the
# import table cannot tell from the plug-in's own calls.
if(WIN32)
  target_sources(reach_tests PRIVATE $<TARGET_OBJECTS:plugin_check_reach_watch>)
  target_compile_definitions(
    reach_tests PRIVATE REACH_LOOKS_UP_PATH="$<TARGET_FILE:reach_looks_up_environment>")
  add_dependencies(reach_tests reach_looks_up_environment)
  return()
endif()

reach_fault(srand process-state "srand")
reach_plugin(maths)
target_compile_definitions(reach_tests PRIVATE REACH_MATHS_PATH="$<TARGET_FILE:reach_maths>"
                                               REACH_SRAND_PATH="$<TARGET_FILE:reach_srand>")
add_dependencies(reach_tests reach_maths reach_srand)
reach_fault(stdin_buffer streams "setvbuf")
reach_fault(environment process-state "getenv")
# What it loads and looks up at run time is named too, where it is watched.
if(NOT MY_PHYSICS1_SANITIZE)
  set(loaded "^reach loading .* and loaded libm\\.so\\.6")
  set(looked_up "^reach loading .* and looked up cos")
endif()
reach_fault(loads loading "dlopen" ${loaded})
reach_fault(looks_up loading "dlsym" ${looked_up})
reach_fault(signal signals "signal")
# A thread the plug-in starts is told apart from the hook that started it.
if(NOT MY_PHYSICS1_SANITIZE)
  set(thread_seeds "^reach process-state .*; a thread of the plug-in's own called srand$")
endif()
reach_fault(from_a_thread threads "pthread_create" ${thread_seeds})
# The watch itself, where this build has it: the test program exports the
# wrappers as plugin-check does.
if(NOT MY_PHYSICS1_SANITIZE)
  target_sources(reach_tests PRIVATE $<TARGET_OBJECTS:plugin_check_reach_watch>)
  set_target_properties(reach_tests PROPERTIES ENABLE_EXPORTS ON)
  target_compile_definitions(reach_tests PRIVATE REACH_WATCHED
                                                 REACH_SIGNAL_PATH="$<TARGET_FILE:reach_signal>")
  add_dependencies(reach_tests reach_signal)
endif()
reach_fault(prctl kernel "prctl")
reach_fault(syscall syscalls "syscall")
# A system call made by the plug-in's own instructions, known by where it
# comes from: the kernel hands it to plugin-check where the watch runs, which
# qemu's user-mode emulation does not.
if(NOT WIN32 AND NOT MY_PHYSICS1_SANITIZE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  reach_plugin(raw_syscall)
  add_test(NAME plugin_check_reach_raw_syscall
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^reach syscalls \\(raw system calls\\): tamrix_physics_init made the system call getpid$"
            "^FAIL reach: tamrix_physics_init made the system call getpid \\(raw system calls\\); remove the call"
            -- "${plugin_check}" --strict --only reach $<TARGET_FILE:reach_raw_syscall>)
endif()

if(NOT MY_PHYSICS1_SANITIZE)
  set(many_names "^reach unlisted .*looked up reach_missing_0, reach_missing_1, .*reach_missing_11 and 243 more$")
endif()
reach_fault(looks_up_many loading "dlsym" ${many_names})

# The report opens with the reach, on the line after the file's; a run that
# leaves the reach check out does without it, and a plug-in that does not load
# still has its imports listed, and says why the rest was not seen.
add_test(NAME plugin_check_reach_opens_the_report
  COMMAND sh -c "\"$@\" | sed -n 2p | grep -q '^reach process-state '" sh
          ${plugin_check} $<TARGET_FILE:reach_srand>)
add_test(NAME plugin_check_reach_only_when_chosen
  COMMAND "${expect_run}" 0 "!^reach" "^PASS load$"
          -- ${plugin_check} --strict --only load $<TARGET_FILE:reach_srand>)
add_test(NAME plugin_check_reach_of_a_plugin_that_does_not_load
  COMMAND "${expect_run}" 1 "^reach at run time unseen: ${why_unseen}"
          "^SKIP reach: the load check did not pass"
          -- ${plugin_check} $<TARGET_FILE:broken_no_get_body>)

# Maths and formatting into its own buffer reach nothing; what is allowed is
# listed and passes.
add_test(NAME plugin_check_reach_sound_maths
  COMMAND ${within_corpus_limit} "${expect_run}" 0
          "^reach: nothing beyond what a physics plug-in plainly needs" "^PASS reach$" "!^(FAIL|WARN)"
          -- "${plugin_check}" --strict $<TARGET_FILE:reach_maths>)
add_test(NAME plugin_check_reach_allowed
  COMMAND ${within_corpus_limit} "${expect_run}" 0
          "^reach process-state \\(.*\\), allowed: .*srand" "^PASS reach$" "!^(FAIL|WARN)"
          -- "${plugin_check}" --strict --allow files,process-state $<TARGET_FILE:reach_srand>)
add_test(NAME plugin_check_reach_unknown_category
  COMMAND "${expect_run}" 2 "^plugin-check: --allow names no category 'file'; the categories are streams, files"
          -- ${plugin_check} --allow file $<TARGET_FILE:reach_maths>)
