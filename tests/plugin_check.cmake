# plugin-check against a corpus of broken plug-ins: one source, one fault per
# build, each caught by its own check. Included from tests/CMakeLists.txt.

set(expect_run "${CMAKE_CURRENT_SOURCE_DIR}/expect_run.sh")
# The script starts the programs itself, so a cross build names the emulator.
set(plugin_check ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:plugin-check>)
set(host_sim ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:host-sim>)

# Built as an author would build it, with the package's function.
function(broken_plugin name)
  tamrix_add_physics_plugin(broken_${name} broken_plugin.c)
  string(TOUPPER "BROKEN_${name}" macro)
  target_compile_definitions(broken_${name} PRIVATE ${macro})
  uninstrumented_plugin(broken_${name})
endfunction()

# broken_plugin_fails(<name> <check> [plugin-check options...]): the run fails,
# and <check> is among the failures.
function(broken_plugin_fails name check)
  add_test(NAME plugin_check_${name}
    COMMAND "${expect_run}" 1 "^FAIL ${check}:" -- ${plugin_check} ${ARGN}
            $<TARGET_FILE:broken_${name}>)
  set_tests_properties(plugin_check_${name} PROPERTIES TIMEOUT 60)
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
# their own, which --strict rightly refuses; plain builds prove it clean.
if(NOT MY_PHYSICS1_SANITIZE AND NOT MY_PHYSICS1_COVERAGE)
  tamrix_add_plugin_check(my_physics1)
endif()

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
    DEPENDS broken_plugin.c "${PROJECT_SOURCE_DIR}/host_interface/tamrix_physics.h"
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
  # A DLL's C runtime entry runs at load whatever the plug-in does, so only
  # ELF files can show a constructor of the plug-in's own.
  add_test(NAME plugin_check_constructor_in_file
    COMMAND "${expect_run}" 1 "^FAIL no-code-at-load:"
            -- ${plugin_check} $<TARGET_FILE:broken_constructor>)
  # Our export list would hide the extra name, so that one is built without it.
  add_library(broken_extra_export SHARED broken_plugin.c)
  target_compile_definitions(broken_extra_export PRIVATE BROKEN_EXTRA_EXPORT)
  target_include_directories(broken_extra_export PRIVATE "${PROJECT_SOURCE_DIR}/host_interface")
  my_physics1_plugin_flags(broken_extra_export)
  uninstrumented_plugin(broken_extra_export)
  broken_plugin(exec_stack)
  target_link_options(broken_exec_stack PRIVATE -Wl,-z,execstack)
  broken_plugin(lazy_binding)
  target_link_options(broken_lazy_binding PRIVATE -Wl,-z,norelro,-z,lazy)
  broken_plugin(extra_needed)
  target_link_options(broken_extra_needed PRIVATE -Wl,--no-as-needed -lm)
  foreach(entry "extra_export extra-exports" "exec_stack exec-stack" "lazy_binding relro"
                "extra_needed needed")
    separate_arguments(entry)
    broken_plugin_fails(${entry} --strict)
  endforeach()
  set(lenient_fault exec_stack)
  set(lenient_check exec-stack)
endif()
add_test(NAME plugin_check_${lenient_fault}_lenient
  COMMAND "${expect_run}" 0 "^WARN ${lenient_check}:" "!^FAIL"
          -- ${plugin_check} $<TARGET_FILE:broken_${lenient_fault}>)

plugin_gtest(process_tests process_test.cpp)

add_executable(plugin_check_tests plugin_check_test.cpp)
target_link_libraries(plugin_check_tests PRIVATE plugin_check_core GTest::gtest_main)
gtest_discover_tests(plugin_check_tests DISCOVERY_MODE PRE_TEST PROPERTIES ${coverage_fixture})
