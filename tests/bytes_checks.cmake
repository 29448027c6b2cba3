# The bytes a verdict names: a plug-in that rewrites its own file, and one
# swapped by another process mid-run, are reported, while every check judges
# the bytes read at the start. Included from tests/CMakeLists.txt.

set(check_plugin_bytes "${CMAKE_CURRENT_SOURCE_DIR}/check_plugin_bytes.sh")
if(NOT WIN32)
  foreach(name sound rewrites_its_file looks_for_the_checker)
    tamrix_add_physics_plugin(bytes_${name} SERVICE_TABLE bytes_plugin.c)
    string(TOUPPER "BYTES_${name}" macro)
    target_compile_definitions(bytes_${name} PRIVATE ${macro})
    uninstrumented_plugin(bytes_${name})
  endforeach()
  add_test(NAME plugin_check_plugin_rewrites_its_file
    COMMAND "${check_plugin_bytes}" rewrite $<TARGET_FILE:bytes_rewrites_its_file>
            -- ${plugin_check} --allow streams,files,processes,loading)
  add_test(NAME plugin_check_file_swapped_mid_run
    COMMAND "${check_plugin_bytes}" swap $<TARGET_FILE:bytes_sound> $<TARGET_FILE:ending_exit>
            -- ${plugin_check})
  set_tests_properties(plugin_check_plugin_rewrites_its_file plugin_check_file_swapped_mid_run
    PROPERTIES TIMEOUT 300)
  # A check's process does not announce itself by name; under qemu's
  # user-mode emulation the command line the plug-in reads is the emulator's
  # copy, which the child cannot blank.
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME plugin_check_child_goes_by_a_hosts_name
      COMMAND ${within_corpus_limit} "${expect_run}" 0 "^0 failed|, 0 failed," --
              "${plugin_check}" --strict --allow streams,files,signals,process-state
              $<TARGET_FILE:bytes_looks_for_the_checker>)
  endif()
endif()

add_executable(plugin_bytes_tests plugin_bytes_test.cpp)
target_link_libraries(plugin_bytes_tests PRIVATE plugin_check_cli GTest::gtest_main)
target_compile_definitions(plugin_bytes_tests PRIVATE
  MY_PHYSICS1_PATH="$<TARGET_FILE:my_physics1>")
add_dependencies(plugin_bytes_tests my_physics1)
gtest_discover_tests(plugin_bytes_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES ${coverage_fixture})
