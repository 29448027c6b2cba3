# plugin-check against plug-ins that reach beyond what a physics plug-in
# plainly needs: one source, one reach per build, each named by the reach
# check in its category, and sound controls that pass --strict. Included from
# tests/CMakeLists.txt after plugin_check.cmake, whose functions it uses.

add_executable(reach_tests reach_test.cpp)
target_link_libraries(reach_tests PRIVATE plugin_check_observe GTest::gtest_main)
gtest_discover_tests(reach_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES ${coverage_fixture})
