# Building and checking Tamrix physics plug-ins, the same in this project and
# from the installed package (find_package(my_physics1)).
#
#   tamrix_add_physics_plugin(<name> [SERVICE_TABLE] [ENGINE] <source>...)
#     A plug-in library built with our flags, the contract header on its
#     include path and our export list, so it exports the thirteen names only.
#     With SERVICE_TABLE the kit compiles in its own seven rows and
#     physics_special_init (tamrix_service_table.c, in C), and the sources
#     define only getBody and the four hooks. It links the C library and,
#     on ELF systems, the maths library (libm), which is a library of its
#     own there. With ENGINE it also gets the rigid-body engine's headers and
#     links the engine's library, the one the host runs, and nothing more:
#     any other undefined name still fails the link.
#
#   tamrix_add_plugin_check(<target> [TIMEOUT <seconds>] [WORLD <file>]
#                           [ALLOW <category>...])
#     A CTest, <target>_plugin_check, that runs plugin-check --strict on it;
#     with WORLD, <target>_plugin_check_world, that runs it in the world of
#     that world file; with ALLOW, the reach categories the plug-in means to
#     have (plugin-check --allow), e.g. ALLOW files.
# The flags probe the C++ compiler, so a project that enables only C (a host
# that links the library) gets the package without them.
get_property(tamrix_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
if("CXX" IN_LIST tamrix_languages)
  include("${CMAKE_CURRENT_LIST_DIR}/PluginFlags.cmake")
endif()

# The rigid-body engine, for ENGINE plug-ins and the host fixture.
include("${CMAKE_CURRENT_LIST_DIR}/Engine.cmake")

# Installed, the package puts the export list beside this file and says where
# the header went; in the source tree both are found from here.
if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/tamrix_physics_exports.map")
  set_property(GLOBAL PROPERTY TAMRIX_PHYSICS_EXPORTS_MAP
    "${CMAKE_CURRENT_LIST_DIR}/tamrix_physics_exports.map")
else()
  set_property(GLOBAL PROPERTY TAMRIX_PHYSICS_EXPORTS_MAP
    "${CMAKE_CURRENT_LIST_DIR}/../my_physics1/exports.map")
endif()
# The kit's service table lies beside this file, installed or not.
set_property(GLOBAL PROPERTY TAMRIX_PHYSICS_SERVICE_TABLE
  "${CMAKE_CURRENT_LIST_DIR}/tamrix_service_table.c")
if(NOT TAMRIX_PHYSICS_INCLUDE_DIR)
  set(TAMRIX_PHYSICS_INCLUDE_DIR "${CMAKE_CURRENT_LIST_DIR}/../host_interface")
endif()
set_property(GLOBAL PROPERTY TAMRIX_PHYSICS_INCLUDE_DIR "${TAMRIX_PHYSICS_INCLUDE_DIR}")

function(tamrix_add_physics_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SERVICE_TABLE;ENGINE" "" "")
  set(sources ${arg_UNPARSED_ARGUMENTS})
  if(NOT sources)
    message(FATAL_ERROR "tamrix_add_physics_plugin(${name}) needs at least one source")
  endif()
  if(arg_SERVICE_TABLE)
    get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
    if(NOT "C" IN_LIST languages)
      message(FATAL_ERROR "tamrix_add_physics_plugin(${name} SERVICE_TABLE) compiles the kit's "
                          "table as C: project(... LANGUAGES C CXX)")
    endif()
    get_property(table_source GLOBAL PROPERTY TAMRIX_PHYSICS_SERVICE_TABLE)
    list(APPEND sources "${table_source}")
  endif()
  if(NOT COMMAND my_physics1_plugin_flags)
    message(FATAL_ERROR "tamrix_add_physics_plugin(${name}) needs C++ enabled before "
                        "find_package(my_physics1): project(... LANGUAGES C CXX)")
  endif()
  get_property(exports_map GLOBAL PROPERTY TAMRIX_PHYSICS_EXPORTS_MAP)
  get_property(include_dir GLOBAL PROPERTY TAMRIX_PHYSICS_INCLUDE_DIR)
  add_library(${name} SHARED ${sources})
  target_include_directories(${name} PRIVATE "${include_dir}")
  my_physics1_plugin_flags(${name} VERSION_SCRIPT "${exports_map}")
  # -Werror=format-security among those flags means nothing without -Wformat,
  # which an author's project may not turn on.
  target_compile_options(${name} PRIVATE -Wformat)
  # CMake adds the C++ runtime to a C-driver link of C++ objects; a plug-in
  # that uses none of it must not need it.
  target_link_options(${name} PRIVATE LINKER:--as-needed)
  # sqrt and the rest of <math.h> are the C runtime's, but ELF systems keep
  # them in libm, which -z defs does not search unless it is named; with
  # --as-needed a plug-in that calls none of it does not need it. Windows has
  # them in its C runtime.
  if(NOT WIN32)
    target_link_libraries(${name} PRIVATE m)
  endif()
  if(arg_ENGINE)
    target_link_libraries(${name} PRIVATE tamrix_engine)
  endif()
endfunction()

function(tamrix_add_plugin_check target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT;WORLD" "ALLOW")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 10)
  endif()
  set(test ${target}_plugin_check)
  set(world_option "")
  if(arg_WORLD)
    get_filename_component(world "${arg_WORLD}" ABSOLUTE)
    set(world_option "--world [==[${world}]==]")
    set(test ${target}_plugin_check_world)
  endif()
  # The reach categories the author means the plug-in to have, for the reach check.
  set(allow_option "")
  if(arg_ALLOW)
    list(JOIN arg_ALLOW "," allowed)
    set(allow_option "--allow [==[${allowed}]==]")
  endif()
  # A cross build runs plugin-check under the emulator, each word a bracket
  # argument of its own.
  set(command "")
  foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND command "[==[${word}]==] ")
  endforeach()
  string(APPEND command "[==[$<TARGET_FILE:my_physics1::plugin-check>]==]")
  # Each check may be a child that takes the whole limit; the start-up takes
  # less than one more. How many checks there are, plugin-check itself says
  # (--list, one a line) when the test runs, so the limit follows the
  # plugin-check that runs, installed or built here.
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${test}.cmake")
  file(GENERATE OUTPUT "${script}" CONTENT "set(plugin_check ${command})
execute_process(COMMAND \${plugin_check} --list OUTPUT_VARIABLE checks RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR \"plugin-check --list ended with \${status}\")
endif()
string(REGEX MATCHALL \"\\n\" lines \"\${checks}\")
list(LENGTH lines count)
math(EXPR limit \"${arg_TIMEOUT} * (\${count} + 1)\")
execute_process(
  COMMAND \${plugin_check} --strict --timeout ${arg_TIMEOUT} ${world_option} ${allow_option} [==[$<TARGET_FILE:${target}>]==]
  RESULT_VARIABLE status TIMEOUT \${limit})
if(NOT status EQUAL 0)
  message(FATAL_ERROR \"plugin-check ended with \${status}\")
endif()
")
  add_test(NAME ${test} COMMAND "${CMAKE_COMMAND}" -P "${script}")
endfunction()
