# What plugin-check and host-sim show of a plug-in's text, and the outputs
# they refuse to write over. Included from tests/CMakeLists.txt after
# plugin_check.cmake, whose variables it uses.

set(report_checks "${CMAKE_CURRENT_SOURCE_DIR}/report_checks.sh")
tamrix_add_physics_plugin(hostile_report_plugin SERVICE_TABLE hostile_report_plugin.c)
uninstrumented_plugin(hostile_report_plugin)

add_test(NAME plugin_check_report_escapes_and_junit_parses
  COMMAND ${within_corpus_limit} "${report_checks}" junit
          "${CMAKE_CURRENT_BINARY_DIR}/hostile_report.xml" -- "${plugin_check}"
          --junit "${CMAKE_CURRENT_BINARY_DIR}/hostile_report.xml"
          $<TARGET_FILE:hostile_report_plugin>)
add_test(NAME host_sim_console_escaped
  COMMAND "${report_checks}" console -- ${host_sim} --steps 2 $<TARGET_FILE:hostile_report_plugin>)

# Each refused before the run, untouched, whichever program writes. FIFOs and
# device nodes are POSIX's; Windows' devices and links are its own.
set(engine_world "${CMAKE_CURRENT_SOURCE_DIR}/worlds/drop.toml")
set(refused_kinds directory)
if(NOT WIN32)
  list(APPEND refused_kinds fifo device link-to-fifo)
endif()
foreach(kind ${refused_kinds})
  add_test(NAME plugin_check_junit_refuses_${kind}
    COMMAND "${report_checks}" refuses ${kind} -- ${plugin_check} --junit @OUT@
            $<TARGET_FILE:hostile_report_plugin>)
  foreach(option record plot)
    add_test(NAME host_sim_${option}_refuses_${kind}
      COMMAND "${report_checks}" refuses ${kind} -- ${host_sim} --world "${engine_world}"
              --${option} @OUT@ $<TARGET_FILE:engine_idle_plugin>)
  endforeach()
endforeach()

# The same hostile plug-in run in host-sim's own test program, and the POSIX
# answers about output paths.
target_compile_definitions(plugin_tests PRIVATE
  HOSTILE_REPORT_PLUGIN_PATH="$<TARGET_FILE:hostile_report_plugin>")
add_dependencies(plugin_tests hostile_report_plugin)
if(NOT WIN32)
  target_sources(plugin_tests PRIVATE output_path_test.cpp)
endif()
