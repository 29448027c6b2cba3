# plugin-check against a corpus of broken plug-ins: one source, one fault per
# build, each caught by its own check. Included from tests/CMakeLists.txt.

set(expect_run "${CMAKE_CURRENT_SOURCE_DIR}/expect_run.sh")
# The script starts the programs itself, so a cross build names the emulator.
set(plugin_check ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:plugin-check>)
set(host_sim ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:host-sim>)

# Built as an author would build it, with the package's function and its
# service table; the faults that live in the table itself bring their own.
set(own_table_faults row_defaults keeps_old_rows private_copy constructor)
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
  # A DLL's C runtime entry runs at load whatever the plug-in does, so only
  # ELF files can show a constructor of the plug-in's own.
  add_test(NAME plugin_check_constructor_in_file
    COMMAND "${expect_run}" 1 "^FAIL no-code-at-load:"
            -- ${plugin_check} $<TARGET_FILE:broken_constructor>)
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
gtest_discover_tests(plugin_check_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES ${coverage_fixture})

# The example under examples/, built here as well as from the installed
# package (see check_package.sh), so every target runs its tests.
set(example_dir "${PROJECT_SOURCE_DIR}/examples/contact_plugin")
tamrix_add_physics_plugin(contact_plugin SERVICE_TABLE "${example_dir}/contact_plugin.c")
uninstrumented_plugin(contact_plugin)
# On Windows its stack protector's guard is seeded through ADVAPI32.dll, which
# the needed check does not count as part of the system yet.
if(NOT WIN32)
  tamrix_add_plugin_check(contact_plugin)
endif()
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
