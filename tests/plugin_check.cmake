# plugin-check against a corpus of broken plug-ins: one source, one fault per
# build, each caught by its own check. Included from tests/CMakeLists.txt.

set(expect_run "${CMAKE_CURRENT_SOURCE_DIR}/expect_run.sh")
# The script starts the programs itself, so a cross build names the emulator.
set(plugin_check ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:plugin-check>)
set(host_sim ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:host-sim>)

# Built as an author would build it, with the package's function and its
# service table; the faults that live in the table itself, or in set-up,
# bring their own.
set(own_table_faults row_defaults keeps_old_rows private_copy constructor
    forged_result channel_to_null flood restore_row2)
function(broken_plugin name)
  if(name IN_LIST own_table_faults)
    tamrix_add_physics_plugin(broken_${name} broken_plugin.c)
    target_compile_definitions(broken_${name} PRIVATE BROKEN_OWN_TABLE)
  else()
    tamrix_add_physics_plugin(broken_${name} SERVICE_TABLE broken_plugin.c)
  endif()
  string(TOUPPER "BROKEN_${name}" macro)
  target_compile_definitions(broken_${name} PRIVATE ${macro})
  uninstrumented_plugin(broken_${name})
endfunction()

# A whole run starts one child per behaviour check, each a new wine process on
# Windows, where a crash also takes seconds: room for several seconds each,
# for as many checks as plugin-check --list names when the test runs.
#   ${within_corpus_limit} COMMAND [ARG]...
# Pass plugin-check quoted, as one argument: cmake -P would take an
# emulator's own options (qemu's -L) for its own.
set(within_corpus_limit_script "${CMAKE_CURRENT_BINARY_DIR}/within_corpus_limit.cmake")
file(GENERATE OUTPUT "${within_corpus_limit_script}" CONTENT "
execute_process(COMMAND ${plugin_check} --list OUTPUT_VARIABLE checks RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR \"plugin-check --list ended with \${status}\")
endif()
string(REGEX MATCHALL \"\\n\" lines \"\${checks}\")
list(LENGTH lines count)
math(EXPR limit \"\${count} * 8\")
set(command \"\")
set(after_separator FALSE)
math(EXPR last \"\${CMAKE_ARGC} - 1\")
foreach(i RANGE 1 \${last})
  if(after_separator)
    list(APPEND command \"\${CMAKE_ARGV\${i}}\")
  elseif(CMAKE_ARGV\${i} STREQUAL \"--\")
    set(after_separator TRUE)
  endif()
endforeach()
execute_process(COMMAND \${command} RESULT_VARIABLE status TIMEOUT \${limit})
if(NOT status EQUAL 0)
  message(FATAL_ERROR \"\${status}\")
endif()
")
set(within_corpus_limit "${CMAKE_COMMAND}" -P "${within_corpus_limit_script}" --)

# Under wine every check's child is a new Windows process, which takes
# seconds; under qemu or a sanitizer each child costs several times a plain
# one. There a fault's row runs the file stage and the one check it is about,
# not the whole battery: those builds are there for the platform and for the
# checker's own memory and threads, which the sound plug-ins' whole batteries
# still cover. In the plain native builds the whole battery runs, so a fault
# that upsets some other check is seen too.
#   corpus_focus(<out-var> <check>)
function(corpus_focus out check)
  if((CMAKE_CROSSCOMPILING OR MY_PHYSICS1_SANITIZE) AND check MATCHES "^[a-z0-9-]+$")
    set(${out} --only ${check} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# broken_plugin_fails(<name> <check> [plugin-check options...]): the run fails,
# and <check> is among the failures.
function(broken_plugin_fails name check)
  corpus_focus(focus ${check})
  add_test(NAME plugin_check_${name}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^FAIL ${check}:" -- "${plugin_check}" ${focus}
            ${ARGN} $<TARGET_FILE:broken_${name}>)
endfunction()

foreach(entry
    "crash_in_init whole-life-twice"
    "exit_in_init whole-life-twice"
    "row_defaults rows-null-after-load"
    "constructor rows-null-after-load"
    "keeps_old_rows set-up-fills-rows"
    "private_copy rows-read-afresh"
    "name_as_format def-name-not-format"
    "thread_guard threads-step-collide"
    "no_get_body load"
    "name_strlen get-body-null --strict"
    "cleanup_twice init-cleanup-twice --strict"
    "chatty_step step-collide-quiet --strict"
    "printf_in_collide step-collide-quiet --strict"
    # Every check that ends a life waits out the time limit, so keep it short.
    "hang_in_cleanup whole-life-twice --timeout 0.5")
  separate_arguments(entry)
  broken_plugin(${entry})
  broken_plugin_fails(${entry})
endforeach()
# A time-out is tried once more before it is a verdict: a sound plug-in that
# stalls once, as on a busy machine, passes and the report says it was tried
# twice; one that hangs for good fails, and says so, and waits out the limit
# twice only once in its run. Limits of a second or more, and few checks, so
# a busy machine running the tests cannot stop the others.
if(NOT WIN32)
  tamrix_add_physics_plugin(sound_stalls_once SERVICE_TABLE broken_plugin.c)
  target_compile_definitions(sound_stalls_once PRIVATE STALLS_ONCE)
  uninstrumented_plugin(sound_stalls_once)
  set(stall_marker "${CMAKE_CURRENT_BINARY_DIR}/sound_stalls_once.marker")
  add_test(NAME plugin_check_retries_a_time_out
    COMMAND "${expect_run}" 0
            "^PASS whole-life-twice \\(on a second try; the first did not finish within 3 s in tamrix_physics_cleanup"
            "!^FAIL"
            -- sh -c "rm -f \"$0\" && exec \"$@\"" "${stall_marker}"
            "${CMAKE_COMMAND}" -E env "TAMRIX_CORPUS_STALL_ONCE=${stall_marker}"
            ${plugin_check} --timeout 3 --only whole-life-twice $<TARGET_FILE:sound_stalls_once>)
endif()
add_test(NAME plugin_check_hang_is_tried_twice
  COMMAND "${expect_run}" 1
          "^FAIL rows-read-afresh: did not finish within 1 s, twice, in tamrix_physics_cleanup"
          "^FAIL whole-life-twice: did not finish within 1 s in tamrix_physics_cleanup.*not tried again: rows-read-afresh hung there twice"
          -- ${plugin_check} --timeout 1 --only rows-read-afresh,whole-life-twice
             $<TARGET_FILE:broken_hang_in_cleanup>)

# The fault is a printf that takes the name as its format.
target_compile_options(broken_name_as_format PRIVATE -Wno-format-security -Wno-format-nonliteral)

broken_plugin(heap_in_collide)
# Sanitizers replace malloc themselves, and a DLL takes its malloc from its C
# runtime, never from the program, so plugin-check cannot count it there.
if(NOT MY_PHYSICS1_SANITIZE AND NOT WIN32)
  broken_plugin_fails(heap_in_collide step-collide-no-heap --strict)
endif()

# Calls rows 2 and 6 without looking: a warning, unless --strict.
broken_plugin(unguarded_rows)
broken_plugin_fails(unguarded_rows null-services --strict)
add_test(NAME plugin_check_unguarded_rows_lenient
  COMMAND "${expect_run}" 0 "^WARN null-services:" "!^FAIL"
          -- ${plugin_check} $<TARGET_FILE:broken_unguarded_rows>)

# Sanitizer and coverage builds give my_physics1 constructors and runtimes of
# their own, which --strict rightly refuses; plain builds prove it clean, and
# a stripped copy too, as a package would ship it.
if(NOT MY_PHYSICS1_SANITIZE AND NOT MY_PHYSICS1_COVERAGE)
  tamrix_add_plugin_check(my_physics1)
  if(stripped_my_physics1)
    add_test(NAME plugin_check_my_physics1_stripped
      COMMAND "${expect_run}" 0 "!^(FAIL|WARN)" -- ${plugin_check} --strict "${stripped_my_physics1}")
  endif()
endif()

# A sound plug-in that needs libm, as most physics plug-ins do: the kit links
# it with nothing named by hand, and libm is the C runtime's own, so it passes
# --strict.
tamrix_add_physics_plugin(sound_needs_libm SERVICE_TABLE broken_plugin.c)
target_compile_definitions(sound_needs_libm PRIVATE USES_LIBM)
uninstrumented_plugin(sound_needs_libm)
tamrix_add_plugin_check(sound_needs_libm)

add_test(NAME plugin_check_junit
  COMMAND "${expect_run}" 1 -- ${plugin_check}
          --junit "${CMAKE_CURRENT_BINARY_DIR}/broken_crash_in_init.xml"
          $<TARGET_FILE:broken_crash_in_init>)
add_test(NAME plugin_check_junit_report
  COMMAND "${expect_run}" 0 "<testcase classname=\"plugin-check\" name=\"whole-life-twice\">"
          "<failure message=\"(crashed in tamrix_physics_init|tamrix_physics_init ended the process)"
          -- cat "${CMAKE_CURRENT_BINARY_DIR}/broken_crash_in_init.xml")
set_tests_properties(plugin_check_junit PROPERTIES FIXTURES_SETUP junit_report)
set_tests_properties(plugin_check_junit_report PROPERTIES FIXTURES_REQUIRED junit_report)

add_test(NAME plugin_check_bad_command_line
  COMMAND "${expect_run}" 2 "^plugin-check: unknown option '--fast'; usage: plugin-check"
          -- ${plugin_check} --fast $<TARGET_FILE:my_physics1>)
# Only the chosen checks are reported; the load gate still runs before them.
add_test(NAME plugin_check_only
  COMMAND "${expect_run}" 1 "^FAIL whole-life-twice: " "!^PASS load" "^0 passed, 1 failed"
          -- ${plugin_check} --only whole-life-twice $<TARGET_FILE:broken_crash_in_init>)
add_test(NAME plugin_check_unknown_check
  COMMAND "${expect_run}" 2 "^plugin-check: --only names no check 'crash'; the checks are "
          -- ${plugin_check} --only crash $<TARGET_FILE:my_physics1>)
add_test(NAME plugin_check_missing_file
  COMMAND "${expect_run}" 1 "^FAIL file-format: cannot open /no/such/plugin.so: "
          -- ${plugin_check} /no/such/plugin.so)

# Sanitizers answer a fault with handlers and reports of their own, so only
# plain builds see host-sim's.
if(NOT MY_PHYSICS1_SANITIZE)
  add_test(NAME host_sim_reports_crash
    COMMAND "${expect_run}" 3 "^host-sim: crash in tamrix_physics_init: (SIG|access violation)"
            -- ${host_sim} $<TARGET_FILE:broken_crash_in_init>)
endif()

# A hook that ends the process is reported as a crash is, status 3. A DLL's
# _exit and quick_exit bypass everything the program could see.
set(endings "exit ENDING_EXIT" "exit_in_step ENDING_EXIT,ENDING_IN_STEP")
if(NOT WIN32)
  list(APPEND endings "_exit ENDING__EXIT" "quick_exit ENDING_QUICK_EXIT")
endif()
foreach(entry ${endings})
  separate_arguments(entry)
  list(GET entry 0 way)
  list(GET entry 1 macros)
  string(REPLACE "," ";" macros "${macros}")
  tamrix_add_physics_plugin(ending_${way} SERVICE_TABLE ending_plugin.c)
  set_target_properties(ending_${way} PROPERTIES C_STANDARD 11)  # quick_exit
  target_compile_definitions(ending_${way} PRIVATE ${macros})
  uninstrumented_plugin(ending_${way})
  if(way STREQUAL "exit_in_step")
    set(hook tamrix_physics_step)
  else()
    set(hook tamrix_physics_init)
  endif()
  if(WIN32)
    set(status_text "")
  else()
    set(status_text " \\(status 0\\)")
  endif()
  add_test(NAME host_sim_reports_${way}
    COMMAND "${expect_run}" 3 "^host-sim: ${hook} ended the process${status_text}"
            -- ${host_sim} $<TARGET_FILE:ending_${way}>)
endforeach()

# Never handed to the loader: it would wait forever for a writer.
if(NOT WIN32)
  add_test(NAME host_sim_refuses_fifo
    COMMAND sh -c "rm -f \"$1\" && mkfifo \"$1\" && shift && exec \"$@\"" sh
            "${CMAKE_CURRENT_BINARY_DIR}/fifo.so" "${expect_run}" 1 "it is a FIFO, not a shared library"
            -- ${host_sim} "${CMAKE_CURRENT_BINARY_DIR}/fifo.so")
  set_tests_properties(host_sim_refuses_fifo PROPERTIES TIMEOUT 10)
endif()

# A file for another machine is refused before anything loads it: AArch64,
# unless that is the machine under test.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(foreign_machine x86-64)
  find_program(FOREIGN_CC x86_64-linux-gnu-gcc)
else()
  set(foreign_machine AArch64)
  find_program(FOREIGN_CC aarch64-linux-gnu-gcc)
endif()
if(FOREIGN_CC)
  set(foreign_plugin "${CMAKE_CURRENT_BINARY_DIR}/broken_foreign.so")
  add_custom_command(OUTPUT "${foreign_plugin}"
    COMMAND "${FOREIGN_CC}" -std=c99 -O2 -shared -fPIC -Wl,-z,relro,-z,now
            -I "${PROJECT_SOURCE_DIR}/host_interface" -o "${foreign_plugin}"
            "${CMAKE_CURRENT_SOURCE_DIR}/broken_plugin.c"
            "${PROJECT_SOURCE_DIR}/cmake/tamrix_service_table.c"
    DEPENDS broken_plugin.c "${PROJECT_SOURCE_DIR}/host_interface/tamrix_physics.h"
            "${PROJECT_SOURCE_DIR}/cmake/tamrix_service_table.c"
    COMMENT "Building the corpus plug-in for ${foreign_machine}")
  add_custom_target(broken_foreign ALL DEPENDS "${foreign_plugin}")
  add_test(NAME plugin_check_foreign_machine
    COMMAND "${expect_run}" 1 "^FAIL file-format: .*${foreign_machine}" "^SKIP load:"
            -- ${plugin_check} "${foreign_plugin}")
else()
  message(STATUS "No C compiler for ${foreign_machine}: the corpus has no plug-in for another machine")
endif()

# Faults only the reading of the file can see.
add_test(NAME plugin_check_no_get_body_in_file
  COMMAND "${expect_run}" 1 "^FAIL exports: missing getBody"
          -- ${plugin_check} $<TARGET_FILE:broken_no_get_body>)
# Hardening faults: warnings, and failures under --strict.
if(WIN32)
  broken_plugin(no_aslr)
  target_link_options(broken_no_aslr PRIVATE
    -Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-nxcompat)
  broken_plugin_fails(no_aslr dll-characteristics --strict)
  set(lenient_fault no_aslr)
  set(lenient_check dll-characteristics)
else()
  # A DLL's C runtime entry runs at load and at unload whatever the plug-in
  # does, so only ELF files can show code of the plug-in's own there.
  add_test(NAME plugin_check_constructor_in_file
    COMMAND "${expect_run}" 1 "^FAIL no-code-at-load: runs install_fallback at load"
            -- ${plugin_check} $<TARGET_FILE:broken_constructor>)
  # -ffast-math on the link line, as a plain Makefile's CFLAGS would put it
  # (CMake's compile options alone never reach the link, nor crtfastmath.o).
  broken_plugin(fast_math)
  target_compile_options(broken_fast_math PRIVATE -ffast-math)
  target_link_options(broken_fast_math PRIVATE -ffast-math)
  broken_plugin(destructor)
  broken_plugin(atexit)
  # Each names the function or the import it found.
  foreach(entry "fast_math no-code-at-load: runs set_fast_math at load"
                "destructor no-code-at-unload: runs forget_frames at unload"
                "atexit no-code-at-unload: imports __cxa_atexit")
    string(REGEX MATCH "^[a-z_]+" name "${entry}")
    string(REGEX REPLACE "^[a-z_]+ " "" finding "${entry}")
    add_test(NAME plugin_check_${name}
      COMMAND "${expect_run}" 1 "^FAIL ${finding}" -- ${plugin_check} $<TARGET_FILE:broken_${name}>)
  endforeach()
  # Without the start files and stripped: a doubt, so a failure under --strict.
  broken_plugin(stripped_constructor)
  target_link_options(broken_stripped_constructor PRIVATE -nostartfiles -s)
  broken_plugin_fails(stripped_constructor no-code-at-load --strict)
  # Our export list would hide the extra name, so that one is built without it.
  add_library(broken_extra_export SHARED broken_plugin.c
              "${PROJECT_SOURCE_DIR}/cmake/tamrix_service_table.c")
  target_compile_definitions(broken_extra_export PRIVATE BROKEN_EXTRA_EXPORT)
  target_include_directories(broken_extra_export PRIVATE "${PROJECT_SOURCE_DIR}/host_interface")
  my_physics1_plugin_flags(broken_extra_export)
  uninstrumented_plugin(broken_extra_export)
  broken_plugin(exec_stack)
  target_link_options(broken_exec_stack PRIVATE -Wl,-z,execstack)
  broken_plugin(lazy_binding)
  target_link_options(broken_lazy_binding PRIVATE -Wl,-z,norelro,-z,lazy)
  broken_plugin(extra_needed)
  target_link_options(broken_extra_needed PRIVATE -Wl,--no-as-needed -lstdc++)
  foreach(entry "extra_export extra-exports" "exec_stack exec-stack" "lazy_binding relro"
                "extra_needed needed")
    separate_arguments(entry)
    broken_plugin_fails(${entry} --strict)
  endforeach()
  set(lenient_fault exec_stack)
  set(lenient_check exec-stack)
endif()
# The thread sanitizer's own thread is in every process, and an executable
# stack asked for at load makes its stack writable and executable too, which
# process-left-as-found rightly fails: this row is about the warning alone.
set(lenient_skip "")
if(MY_PHYSICS1_SANITIZE STREQUAL "thread")
  set(lenient_skip --skip process-left-as-found)
endif()
add_test(NAME plugin_check_${lenient_fault}_lenient
  COMMAND "${expect_run}" 0 "^WARN ${lenient_check}:" "!^FAIL"
          -- ${plugin_check} ${lenient_skip} $<TARGET_FILE:broken_${lenient_fault}>)

plugin_gtest(process_tests process_test.cpp)
target_link_libraries(process_tests PRIVATE plugin_check_sandbox)

add_executable(plugin_check_tests plugin_check_test.cpp)
# With every check registered, as plugin-check has them.
target_link_libraries(plugin_check_tests PRIVATE plugin_check_all
                                                 GTest::gtest_main)
# The registrations are held to the sources that make them and to the page
# that documents them.
target_compile_definitions(plugin_check_tests PRIVATE
  CHECK_SOURCE_DIR="${PROJECT_SOURCE_DIR}/check"
  PLUGIN_CHECK_PAGE="${PROJECT_SOURCE_DIR}/docs/plugin-check.md")
gtest_discover_tests(plugin_check_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES ${coverage_fixture})

# ---- Faults against plugin-check's own verdicts and the table after set-up.
# Each entry: fault % check that fails under --strict % what its reason must
# name first (the hook). A plug-in writes to the checker's channel only
# through a descriptor it inherited, which a DLL's child has not.
if(WIN32)
  # No C descriptor leads to the channel's handle: what is left is the exit.
  set(forged_reason "physics_special_init ended the process with status 0")
else()
  set(forged_reason "physics_special_init wrote a forged result")
endif()
set(guard_faults
    "forged_result % set-up-fills-rows % ${forged_reason}"
    "channel_to_null % (set-up-fills-rows|step-collide-quiet) % physics_special_init"
    "message_every_128 % step-collide-quiet % tamrix_physics_step: [0-9]+ messages.*first seen by call 128"
    "stdout_to_null % step-collide-quiet % tamrix_physics_step pointed standard output away"
    "null_row6_in_step % rows-unchanged % tamrix_physics_step changed row 6"
    "wrapper_in_row2 % rows-unchanged % tamrix_physics_init changed row 2"
    "restore_row2 % rows-unchanged % getBody changed row 2"
    "unguarded_time % null-services % crashed in tamrix_physics_step, with row 7"
    "reads_handle % handles-opaque % crashed in tamrix_physics_collide"
    "memoised_body % whole-life-twice % the second life did not behave as the first: call 3 was getBody\\(\"arm\"\\) found, looked up"
    "name_by_address % get-body-any-name % getBody\\(\"[a-z]+\"\\) answered .* where it answers .* in a buffer of its own"
    "name_fixed_buffer % get-body-any-name % (crashed in getBody|getBody ended the process).*a name of 4096 bytes"
    "second_life % whole-life-twice % the second life did not behave as the first: call 2 was tamrix_physics_init")
if(NOT WIN32)
  list(APPEND guard_faults
       "flood % set-up-fills-rows % physics_special_init wrote more than 1 MiB to the checker's channel")
endif()
foreach(entry IN LISTS guard_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 check)
  list(GET entry 2 reason)
  broken_plugin(${fault})
  corpus_focus(focus ${check})
  add_test(NAME plugin_check_${fault}
    COMMAND "${expect_run}" 1 "^FAIL ${check}: ${reason}" -- ${plugin_check} --strict ${focus}
            $<TARGET_FILE:broken_${fault}>)
  set_tests_properties(plugin_check_${fault} PROPERTIES TIMEOUT 60)
endforeach()

# Processes a plug-in starts, in its group or in a session of its own, are
# gone once plugin-check ends: each writes its id to a file the test names.
# A session of its own escapes the group, and only a subreaper gets it back,
# which qemu's user-mode emulation does not pass on to the kernel.
if(NOT WIN32)
  set(guard_workers fork_in_init)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    list(APPEND guard_workers fork_setsid)
  endif()
  foreach(fault IN LISTS guard_workers)
    broken_plugin(${fault})
    add_test(NAME plugin_check_${fault}
      COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/expect_none_left.sh"
              "${CMAKE_CURRENT_BINARY_DIR}/${fault}.pids" -- ${plugin_check} --strict
              $<TARGET_FILE:broken_${fault}>)
    set_tests_properties(plugin_check_${fault} PROPERTIES TIMEOUT 60)
  endforeach()
  # plugin-check ended from outside (a caller's time limit) while a check's
  # child hangs takes that child and its worker with it.
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    broken_plugin(fork_then_hang)
    target_compile_definitions(broken_fork_then_hang PRIVATE BROKEN_FORK_IN_INIT BROKEN_HANG_IN_CLEANUP)
    add_test(NAME plugin_check_ended_from_outside
      COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/expect_ended_with_checker.sh"
              "${CMAKE_CURRENT_BINARY_DIR}/fork_then_hang.pids" -- ${plugin_check} --only whole-life-twice
              --timeout 60 $<TARGET_FILE:broken_fork_then_hang>)
    set_tests_properties(plugin_check_ended_from_outside PROPERTIES TIMEOUT 60)
    # The check's own process, moved to a session of its own and then hung, is
    # ended by its id when its time is up.
    broken_plugin(session_then_hang)
    add_test(NAME plugin_check_session_then_hang
      COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/expect_none_left.sh"
              "${CMAKE_CURRENT_BINARY_DIR}/session_then_hang.pids" -- ${plugin_check}
              --only whole-life-twice --timeout 2 $<TARGET_FILE:broken_session_then_hang>)
    set_tests_properties(plugin_check_session_then_hang PROPERTIES TIMEOUT 60)
  endif()
endif()

# A JUnit report named as the plug-in, here by another spelling of its path,
# is refused before anything is written.
broken_plugin(junit_target)
add_test(NAME plugin_check_junit_names_plugin
  COMMAND "${expect_run}" 2 "^plugin-check: --junit .* names the plug-in itself" "!^PASS"
          -- ${plugin_check} --strict
          --junit "$<TARGET_FILE_DIR:broken_junit_target>/./$<TARGET_FILE_NAME:broken_junit_target>"
          $<TARGET_FILE:broken_junit_target>)


# ---- Faults in the process around the plug-in: each leaves the host's process
# changed, and the check that looks at that part names the call that did it.
# process_fault(<name> <status> <patterns> [plugin-check options...]): built
# with the fault, plugin-check ends with <status> and its output matches each
# of the list <patterns> as expect_run.sh does.
function(process_fault name status patterns)
  broken_plugin(${name})
  target_compile_definitions(broken_${name} PRIVATE PROCESS_FAULT)
  if(NOT WIN32)
    target_link_libraries(broken_${name} PRIVATE m)  # the fenv functions live in libm
  endif()
  add_test(NAME plugin_check_${name}
    COMMAND ${within_corpus_limit} "${expect_run}" ${status} ${patterns} -- "${plugin_check}"
            ${ARGN} $<TARGET_FILE:broken_${name}>)
endfunction()

# <name> <check> <call that made the change> [options]
set(process_faults
    "rounding fp-environment tamrix_physics_init"
    "flush_to_zero fp-environment tamrix_physics_init"
    "thread_left threads-left tamrix_physics_init"
    "chdir process-settings tamrix_physics_init"
    "setenv process-settings tamrix_physics_init"
    "rounding_on_host_thread overlapping-steps tamrix_physics_step")
# Most AArch64 cores, and qemu, implement no floating-point traps: the enable
# bits read as zero, so the fault cannot happen there.
if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  list(APPEND process_faults "fp_trap fp-environment tamrix_physics_init")
endif()
if(NOT WIN32)
  list(APPEND process_faults
    "signal_handler signals tamrix_physics_init"
    "signal_mask signals tamrix_physics_init"
    "locale process-settings tamrix_physics_init"
    "umask process-settings tamrix_physics_init"
    "fork processes-left tamrix_physics_init"
    "descriptor_leak descriptors-left tamrix_physics_init --strict")
  # Counted only where this program's malloc family stands in front of the C library's.
  if(NOT MY_PHYSICS1_SANITIZE)
    list(APPEND process_faults "heap_leak heap-balanced tamrix_physics_init --strict")
  endif()
endif()
# A process the plug-in leaves behind holds the check's channel open; it must
# not keep the check waiting for its time limit.
set(also_fork "!did not finish")
# Only the host threads' own state shows it: the init thread never rounds up.
set(also_rounding_on_host_thread "on host thread [1-4] changed the rounding mode .* on its own thread")
foreach(entry IN LISTS process_faults)
  separate_arguments(entry)
  list(POP_FRONT entry name check call)
  corpus_focus(focus ${check})
  process_fault(${name} 1 "^FAIL ${check}: ${call} ;${also_${name}}" ${focus} ${entry})
endforeach()
set_target_properties(broken_rounding_on_host_thread PROPERTIES C_STANDARD 11)  # _Thread_local
# A fault that waits for a restart: the first life is sound, the second is not.
corpus_focus(focus lives-in-one-load)
process_fault(env_from_second_init 1 "^FAIL lives-in-one-load: the 2nd life in one load .*environment"
              ${focus})

# A plug-in that moves the working directory must not lose the checker its
# file, named relative to where the checker started.
add_test(NAME plugin_check_chdir_relative_path
  COMMAND "${expect_run}" 1 "^FAIL process-settings: tamrix_physics_init " "!^FAIL reload"
          -- ${plugin_check} $<TARGET_FILE_NAME:broken_chdir>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:broken_chdir>)

# The loader keeps a library linked -z nodelete; on Windows the plug-in pins itself.
process_fault(nodelete 1 "^FAIL reload: the library stayed loaded after it was unloaded")
if(NOT WIN32)
  target_link_options(broken_nodelete PRIVATE -Wl,-z,nodelete)
  # qemu's user-mode emulation refuses system call filters: SKIP there, never PASS.
  if(CMAKE_CROSSCOMPILING)
    process_fault(syscall_in_step 0 "^SKIP step-collide-no-syscalls: the system refused")
  else()
    process_fault(syscall_in_step 1
      "^FAIL step-collide-no-syscalls: tamrix_physics_step called getpid;" --strict)
  endif()
endif()

# The snapshot and the heap counter on their own.
set(state_test_sources process_state_test.cpp)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND state_test_sources heap_count_test.cpp syscall_filter_test.cpp
                                 signal_names_test.cpp pointer_scan_test.cpp)
elseif(WIN32)
  list(APPEND state_test_sources pointer_scan_test_windows.cpp)
endif()
plugin_gtest(process_state_tests ${state_test_sources})
target_link_libraries(process_state_tests PRIVATE plugin_check_observe plugin_check_sandbox
                                                  plugin_check_heap_count)

# The example under examples/, built here as well as from the installed
# package (see check_package.sh), so every target runs its tests.
set(example_dir "${PROJECT_SOURCE_DIR}/examples/contact_plugin")
tamrix_add_physics_plugin(contact_plugin SERVICE_TABLE "${example_dir}/contact_plugin.c")
uninstrumented_plugin(contact_plugin)
tamrix_add_plugin_check(contact_plugin)
plugin_gtest(contact_plugin_tests "${example_dir}/contact_plugin_test.cpp")
target_compile_definitions(contact_plugin_tests PRIVATE
  CONTACT_PLUGIN_PATH="$<TARGET_FILE:contact_plugin>")
add_dependencies(contact_plugin_tests contact_plugin)
set(example_world --world "${example_dir}/world.toml" $<TARGET_FILE:contact_plugin>)
add_test(NAME contact_plugin_world
  COMMAND "${expect_run}" 0 "^expectations: all met" -- ${host_sim} ${example_world})
add_test(NAME contact_plugin_world_changed
  COMMAND "${expect_run}" 1
          "^host-sim: expect.console\\[2\\]: expected \"steps: 5, time: 0.05\", got \"steps: 4, time: 0.04\""
          "^expectations: not met"
          -- ${host_sim} ${example_world} --steps 4)
add_test(NAME contact_plugin_trace
  COMMAND "${expect_run}" 0 "^  dTamrixGetBodyFromDEFProc\\(\"body1\"\\) -> null"
          "^tamrix_physics_collide\\(floor, arm\\) -> 1" "^tamrix_physics_collide\\(arm, wheel\\) -> 0"
          "^  dTamrixReceiveProc\\(1\\) -> \"ping\", 4" "^  dTamrixSendProc\\(2, \"pong\", 4\\)"
          "^  dTamrixGetTimeProc\\(\\) -> 0.05"
          -- ${host_sim} ${example_world} --trace)

# ---- Engine plug-ins: faults against the world the host owns, built as an
# author builds an engine plug-in, one macro per fault. Each entry: fault %
# check that fails under --strict % what its reason must name first (the hook,
# then the field of the world it changed).
function(broken_engine_plugin name)
  tamrix_add_physics_plugin(broken_engine_${name} SERVICE_TABLE ENGINE broken_engine_plugin.c)
  string(TOUPPER "BROKEN_ENGINE_${name}" macro)
  target_compile_definitions(broken_engine_${name} PRIVATE ${macro})
  uninstrumented_plugin(broken_engine_${name})
endfunction()

# Sound, it pushes a body in step and makes contacts in collide under a lock:
# it passes in plugin-check's world and in a world of its author's.
tamrix_add_physics_plugin(engine_contacts_plugin SERVICE_TABLE ENGINE broken_engine_plugin.c)
uninstrumented_plugin(engine_contacts_plugin)
tamrix_add_plugin_check(engine_contacts_plugin)
tamrix_add_plugin_check(engine_contacts_plugin WORLD "${CMAKE_CURRENT_SOURCE_DIR}/worlds/checked.toml")

# Linked without the engine's library, counting on the host's: its imports
# alone make it an engine plug-in, checked in an engine world. A DLL cannot
# leave an import unresolved.
if(NOT WIN32)
  tamrix_add_physics_plugin(engine_unlinked_plugin SERVICE_TABLE engine_idle_plugin.c)
  target_include_directories(engine_unlinked_plugin PRIVATE
    $<TARGET_PROPERTY:tamrix_engine,INTERFACE_INCLUDE_DIRECTORIES>)
  # After the -z defs a sanitizer build gives every test plug-in: the last wins.
  uninstrumented_plugin(engine_unlinked_plugin)
  target_link_options(engine_unlinked_plugin PRIVATE -Wl,-z,undefs)
  add_test(NAME plugin_check_engine_unlinked
    COMMAND "${expect_run}" 0 "^PASS needed" "^PASS world-left-as-found" "!^FAIL"
            -- ${plugin_check} --strict $<TARGET_FILE:engine_unlinked_plugin>)
endif()

set(engine_faults
    # Beyond the snapshot: the host's objects destroyed, contacts outside its
    # group, the world stepped, callbacks left behind, a body kept across worlds.
    "destroy_body % world-left-as-found % tamrix_physics_cleanup changed body arm: in the world"
    "destroy_geom % world-left-as-found % tamrix_physics_cleanup changed geometry floor: space was the host's, now none"
    "foreign_contacts % world-left-as-found % tamrix_physics_collide changed body [a-z]+: joints"
    "steps_world % world-left-as-found % tamrix_physics_step changed body [a-z]+: position"
    # A sanitizer that faults again while reporting a fault ends the process
    # instead of crashing it, here and for the free handler below.
    "moved_callback % world-after-unload % (crashed in the host's steps after the plug-in was unloaded|the host's steps after the plug-in was unloaded ended the process)"
    "kept_body % whole-life-twice % in the second life a handle of the previous world was used: body arm"
    # The host's teardown frees through the plug-in's unloaded code: the crash,
    # and the field the check had found before it.
    "free_handler % world-left-as-found % (crashed in unloading the file|unloading the file ended the process).* before that: tamrix_physics_init changed engine: free handler"
    # What plugin-check's own world holds beyond bodies on a floor: the
    # host's joints, one with a record of its forces a plug-in must not take.
    "feedback_cleared % world-left-as-found % tamrix_physics_init changed joint elbow: feedback was 0x[0-9a-f]+, now null, still so after tamrix_physics_cleanup"
    # A setting put to the engine's default, which plugin-check's world also
    # holds: seen in the second life, whose settings were turned over.
    "gyroscopic_on % world-left-as-found % in a second life, with the world's settings turned from the engine's defaults, tamrix_physics_init changed body arm: gyroscopic was off, now on")
# One fault per field of the snapshot, each failing world-left-as-found with
# the field named first. Each entry: fault % hook % the field and its change.
set(snapshot_faults
    # The world's settings,
    "gravity % init % world: gravity"
    "erp % init % world: ERP was 0.2, now 0.8"
    "cfm % init % world: CFM was"
    "quick_step_iterations % init % world: quick-step iterations was"
    "quick_step_w % init % world: quick-step over-relaxation was"
    "max_correcting_vel % init % world: contact max correcting velocity was"
    "surface_layer % init % world: contact surface layer was"
    "auto_disable % init % world: auto-disable was off, now on"
    "auto_disable_linear % init % world: auto-disable linear threshold was"
    "auto_disable_angular % init % world: auto-disable angular threshold was"
    "auto_disable_samples % init % world: auto-disable samples was"
    "auto_disable_steps % step % world: auto-disable steps was"
    "auto_disable_time % init % world: auto-disable time was"
    "linear_damping % init % world: linear damping was"
    "angular_damping % init % world: angular damping was"
    "linear_damping_threshold % init % world: linear damping threshold was"
    "angular_damping_threshold % init % world: angular damping threshold was"
    "max_angular_speed % step % world: max angular speed was"
    "step_threads % init % world: step threads was"
    "world_data % cleanup % world: user data was null"
    # each host body's,
    "disable_body % init % body arm: enabled"
    "mass % init % body arm: mass"
    "gravity_mode % init % body arm: gravity mode was on, now off"
    "kinematic % init % body arm: kinematic was off, now on"
    "body_data % init % body arm: user data"
    "position % init % body arm: position was"
    "orientation % init % body arm: orientation was"
    "nan_velocity % step % body arm: linear velocity was \\(0, 0, 0\\), now \\(nan"
    "angular_velocity % step % body arm: angular velocity was"
    "body_auto_disable % init % body arm: auto-disable was off, now on"
    "body_linear_damping % init % body arm: linear damping was"
    "body_angular_damping % init % body arm: angular damping was"
    "body_max_angular_speed % init % body arm: max angular speed was"
    "finite_rotation % init % body arm: finite rotation was off, now on"
    "finite_rotation_axis % init % body arm: finite rotation axis was"
    "gyroscopic % init % body arm: gyroscopic was on, now off"
    "body_auto_disable_linear % init % body arm: auto-disable linear threshold was"
    "body_auto_disable_angular % init % body arm: auto-disable angular threshold was"
    "body_auto_disable_samples % init % body arm: auto-disable samples was"
    "body_auto_disable_steps % step % body arm: auto-disable steps was"
    "body_auto_disable_time % init % body arm: auto-disable time was"
    "body_linear_damping_threshold % init % body arm: linear damping threshold was"
    "body_angular_damping_threshold % cleanup % body arm: angular damping threshold was"
    # each host geometry's,
    "geom_disabled % init % geometry floor: enabled was on, now off"
    "category_bits % init % geometry floor: category bits"
    "collide_bits % init % geometry floor: collide bits was"
    "geom_body % init % geometry base: body was none, now arm"
    "geom_space % cleanup % geometry floor: space was the host's, now none"
    "offset % init % geometry arm: offset was"
    "offset_orientation % init % geometry arm: offset orientation was"
    "plane % init % geometry floor: plane was"
    "fixed_position % step % geometry base: position was"
    "fixed_orientation % cleanup % geometry base: orientation was"
    "geom_data % init % geometry floor: user data was"
    "shape % init % geometry base: shape was box \\(1, 1, 1\\), now box \\(0.5, 0.5, 0.5\\)"
    # the space's (not its manual cleanup, which the engine build we link keeps
    # at 1 whatever a plug-in asks), and the engine's process-wide handlers.
    "space_cleanup % init % space: cleans up its geometries was on, now off"
    "sublevel % init % space: sublevel was 0, now 1"
    "error_handler % init % engine: error handler"
    "debug_handler % init % engine: debug handler"
    "message_handler % init % engine: message handler"
    "alloc_handler % init % engine: allocation handler"
    "realloc_handler % init % engine: reallocation handler")
foreach(entry IN LISTS snapshot_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 hook)
  list(GET entry 2 field)
  list(APPEND engine_faults "${fault} % world-left-as-found % tamrix_physics_${hook} changed ${field}")
endforeach()
if(NOT WIN32)
  list(APPEND engine_faults
       "own_body % nothing-left-in-world % after tamrix_physics_cleanup the plug-in had left 1 body")
endif()
foreach(entry IN LISTS engine_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 check)
  list(GET entry 2 reason)
  broken_engine_plugin(${fault})
  corpus_focus(focus ${check})
  add_test(NAME plugin_check_engine_${fault}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^FAIL ${check}: ${reason}" -- "${plugin_check}"
            --strict ${focus} $<TARGET_FILE:broken_engine_${fault}>)
endforeach()

# The host's joints: a plug-in may drive one while it lives, and must put it
# back by the end of cleanup (the arm example does, in its own world).
broken_engine_plugin(motor_left)
corpus_focus(focus world-left-as-found)
add_test(NAME plugin_check_engine_motor_left
  COMMAND ${within_corpus_limit} "${expect_run}" 1
          "^FAIL world-left-as-found: tamrix_physics_step changed joint shoulder: motor velocity was 0, now 1, still so after tamrix_physics_cleanup"
          -- "${plugin_check}" --strict ${focus} --world "${CMAKE_CURRENT_SOURCE_DIR}/worlds/jointed.toml"
          $<TARGET_FILE:broken_engine_motor_left>)

# A setting no row reads back: the world, stepped after cleanup beside a twin
# no plug-in touched, moves apart from it.
broken_engine_plugin(hinge_anchor)
corpus_focus(focus world-moves-as-twin)
add_test(NAME plugin_check_engine_hinge_anchor
  COMMAND ${within_corpus_limit} "${expect_run}" 1
          "^FAIL world-moves-as-twin: after tamrix_physics_cleanup body arm moved apart from a twin world the plug-in never touched, set to the same poses and speeds, at step 1"
          "!^FAIL world-left-as-found"
          -- "${plugin_check}" --strict ${focus} --world "${CMAKE_CURRENT_SOURCE_DIR}/worlds/jointed.toml"
          $<TARGET_FILE:broken_engine_hinge_anchor>)

# A world file plugin-check cannot run in is refused before the run, in one line.
add_test(NAME plugin_check_world_too_small
  COMMAND "${expect_run}" 2 "^plugin-check: --world .*lone_body.toml: the checks need a world of at least two geometries"
          "!^PASS" -- ${plugin_check} --world "${CMAKE_CURRENT_SOURCE_DIR}/worlds/lone_body.toml"
          $<TARGET_FILE:engine_contacts_plugin>)
add_test(NAME plugin_check_world_without_engine
  COMMAND "${expect_run}" 2 "^plugin-check: --world .* has no \\[engine\\] part, and the plug-in uses the engine"
          "!^PASS" -- ${plugin_check} --world "${CMAKE_CURRENT_SOURCE_DIR}/worlds/no_engine.toml"
          $<TARGET_FILE:engine_contacts_plugin>)
# A plug-in that needs no engine is checked in the world file too.
add_test(NAME plugin_check_world_without_engine_plain
  COMMAND "${expect_run}" 0 "^SKIP world-left-as-found: the world has no engine part" "!^FAIL"
          -- ${plugin_check} --only whole-life-twice,world-left-as-found
          --world "${CMAKE_CURRENT_SOURCE_DIR}/worlds/no_engine.toml" $<TARGET_FILE:my_physics1>)

# ---- Sound plug-ins that look faulty to a careless check: each undoes within
# its life what it did, so --strict passes it with no failure or warning. Its
# broken twin above (thread_left, posix_timer, signal_handler, own_body) must
# still fail. Threads, POSIX timers and signal actions are the POSIX ones here.
if(NOT WIN32)
  set(sound_controls worker timer thread_local signal_around engine_objects)
  # The thread sanitizer starts a thread of its own at a plug-in's first
  # pthread_create, and cannot follow the thread the C library starts for a
  # timer: those two controls prove themselves in the other builds.
  if(MY_PHYSICS1_SANITIZE STREQUAL "thread")
    set(untested_controls worker timer)
  endif()
  foreach(control IN LISTS sound_controls)
    if(control STREQUAL "engine_objects")
      tamrix_add_physics_plugin(sound_${control} SERVICE_TABLE ENGINE sound_plugin.c)
    else()
      tamrix_add_physics_plugin(sound_${control} SERVICE_TABLE sound_plugin.c)
    endif()
    string(TOUPPER "SOUND_${control}" macro)
    target_compile_definitions(sound_${control} PRIVATE ${macro})
    set_target_properties(sound_${control} PROPERTIES C_STANDARD 11)  # _Thread_local
    uninstrumented_plugin(sound_${control})
    if(control IN_LIST untested_controls)
      continue()
    endif()
    # What the control reaches on purpose, so the reach check lets it pass.
    set(allow "")
    if(control STREQUAL "worker")
      set(allow --allow threads)
    elseif(control MATCHES "^(timer|signal_around)$")
      set(allow --allow signals)
    endif()
    add_test(NAME plugin_check_sound_${control}
      COMMAND ${within_corpus_limit} "${expect_run}" 0 "!^(FAIL|WARN)" -- "${plugin_check}" --strict
              ${allow} $<TARGET_FILE:sound_${control}>)
  endforeach()
endif()
