# The file checks of plugin-check, against files built here for the purpose.
# Included from tests/CMakeLists.txt.

# One small plug-in per fault, from one source, built with the plug-in flags.
function(inspect_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEFINITIONS;LINK_OPTIONS;LIBRARIES")
  add_library(${name} SHARED inspect_plugin.c)
  my_physics1_plugin_flags(${name})
  uninstrumented_plugin(${name})
  target_compile_definitions(${name} PRIVATE ${arg_DEFINITIONS})
  target_link_options(${name} PRIVATE ${arg_LINK_OPTIONS})
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES})  # after the objects that need them
  list(APPEND inspect_inputs ${name})
  set(inspect_inputs ${inspect_inputs} PARENT_SCOPE)
endfunction()

set(inspect_inputs "")
inspect_library(inspect_clean)
inspect_library(inspect_missing_row DEFINITIONS INSPECT_MISSING_ROW)
inspect_library(inspect_const_row DEFINITIONS INSPECT_CONST_ROW)
inspect_library(inspect_row_as_function DEFINITIONS INSPECT_ROW_AS_FUNCTION)
inspect_library(inspect_constructor DEFINITIONS INSPECT_CONSTRUCTOR)
inspect_library(inspect_extra_export DEFINITIONS INSPECT_EXTRA_EXPORT)
if(WIN32)
  inspect_library(inspect_no_aslr
    LINK_OPTIONS -Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-nxcompat)
  inspect_library(inspect_needs_winpthread DEFINITIONS INSPECT_USES_THREADS
    LIBRARIES -Wl,-Bdynamic -lwinpthread)
else()
  inspect_library(inspect_own_init LINK_OPTIONS -Wl,-init,tamrix_physics_init)
  inspect_library(inspect_ifunc DEFINITIONS INSPECT_IFUNC)
  inspect_library(inspect_lazy LINK_OPTIONS -Wl,-z,lazy)
  inspect_library(inspect_exec_stack LINK_OPTIONS -Wl,-z,execstack)
  inspect_library(inspect_textrel DEFINITIONS INSPECT_TEXTREL LINK_OPTIONS -Wl,-z,notext)
  # libm is the C runtime's own; libstdc++ is a library the host may lack.
  inspect_library(inspect_needs_libm LINK_OPTIONS -Wl,--no-as-needed -lm)
  inspect_library(inspect_needs_libstdcxx LINK_OPTIONS -Wl,--no-as-needed -lstdc++)
  # Stripped the ordinary way: the C runtime's shape tells its one entry in
  # each array. Without the start files, a lone constructor has no such shape.
  inspect_library(inspect_stripped LINK_OPTIONS -s)
  inspect_library(inspect_locals_discarded LINK_OPTIONS -Wl,-x)  # a symbol table, no locals
  inspect_library(inspect_stripped_constructor DEFINITIONS INSPECT_CONSTRUCTOR
    LINK_OPTIONS -nostartfiles -s)
  # gcc 12 and clang 14 both link crtfastmath.o's set_fast_math into a shared
  # library when the link line has -ffast-math.
  inspect_library(inspect_fast_math LINK_OPTIONS -ffast-math)
  inspect_library(inspect_destructor DEFINITIONS INSPECT_DESTRUCTOR)
  inspect_library(inspect_atexit DEFINITIONS INSPECT_ATEXIT)
  inspect_library(inspect_nodelete LINK_OPTIONS -Wl,-z,nodelete)
  inspect_library(inspect_unique DEFINITIONS INSPECT_UNIQUE)
  inspect_library(inspect_initial_exec_tls DEFINITIONS INSPECT_INITIAL_EXEC_TLS)
  inspect_library(inspect_dynamic_tls DEFINITIONS INSPECT_DYNAMIC_TLS)
endif()

# Binaries for other machines, when their compilers are here.
set(inspect_foreign_definitions "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(foreign_machine x86-64)
  find_program(FOREIGN_ELF_CC NAMES x86_64-linux-gnu-gcc)
else()
  set(foreign_machine AArch64)
  find_program(FOREIGN_ELF_CC NAMES aarch64-linux-gnu-gcc)
endif()
if(NOT WIN32)
  find_program(MINGW_CC NAMES x86_64-w64-mingw32-gcc)
endif()
set(foreign_dir "${CMAKE_CURRENT_BINARY_DIR}/inspect_foreign")
if(FOREIGN_ELF_CC)
  add_custom_command(OUTPUT "${foreign_dir}/foreign.so"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${foreign_dir}"
    COMMAND "${FOREIGN_ELF_CC}" -shared -fPIC -O2 -o "${foreign_dir}/foreign.so"
            "${CMAKE_CURRENT_SOURCE_DIR}/inspect_plugin.c"
    DEPENDS inspect_plugin.c
    COMMENT "Building a plug-in for ${foreign_machine}")
  list(APPEND inspect_foreign_files "${foreign_dir}/foreign.so")
  list(APPEND inspect_foreign_definitions
    FOREIGN_ELF_PATH="${foreign_dir}/foreign.so" FOREIGN_ELF_MACHINE="${foreign_machine}")
endif()
if(MINGW_CC)
  # A sound DLL, and one of each fault the PE reader tells, for the reader
  # that every system builds (pe_file_test.cpp).
  set(windows_dll_options "")
  set(windows_const_row_dll_options -DINSPECT_CONST_ROW)
  set(windows_no_aslr_dll_options
    -Wl,--disable-dynamicbase,--disable-high-entropy-va,--disable-nxcompat)
  foreach(dll IN ITEMS windows windows_const_row windows_no_aslr)
    add_custom_command(OUTPUT "${foreign_dir}/${dll}.dll"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${foreign_dir}"
      COMMAND "${MINGW_CC}" -shared -O2 ${${dll}_dll_options} -o "${foreign_dir}/${dll}.dll"
              "${CMAKE_CURRENT_SOURCE_DIR}/inspect_plugin.c"
      DEPENDS inspect_plugin.c
      COMMENT "Building ${dll}.dll, a plug-in for Windows")
    string(TOUPPER "${dll}" macro)
    list(APPEND inspect_foreign_files "${foreign_dir}/${dll}.dll")
    list(APPEND inspect_foreign_definitions ${macro}_DLL_PATH="${foreign_dir}/${dll}.dll")
  endforeach()
endif()
add_custom_target(inspect_foreign_inputs DEPENDS ${inspect_foreign_files})

add_executable(inspect_tests inspect_test.cpp pe_file_test.cpp binary_kind_test.cpp)
target_link_libraries(inspect_tests PRIVATE plugin_check_all host_sim_core
                                            GTest::gtest_main)
foreach(input IN LISTS inspect_inputs)
  string(TOUPPER "${input}" macro)
  target_compile_definitions(inspect_tests PRIVATE ${macro}_PATH="$<TARGET_FILE:${input}>")
endforeach()
# my_physics1 as a package would ship it, stripped.
if(NOT WIN32)
  set(stripped_my_physics1 "${CMAKE_CURRENT_BINARY_DIR}/inspect_stripped/my_physics1.so")
  add_custom_command(OUTPUT "${stripped_my_physics1}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/inspect_stripped"
    COMMAND "${CMAKE_STRIP}" --strip-all -o "${stripped_my_physics1}" $<TARGET_FILE:my_physics1>
    DEPENDS my_physics1
    COMMENT "Stripping a copy of my_physics1")
  add_custom_target(stripped_my_physics1 DEPENDS "${stripped_my_physics1}")
  list(APPEND inspect_foreign_definitions STRIPPED_MY_PHYSICS1_PATH="${stripped_my_physics1}")
  add_dependencies(inspect_foreign_inputs stripped_my_physics1)
endif()
target_compile_definitions(inspect_tests PRIVATE
  MY_PHYSICS1_PATH="$<TARGET_FILE:my_physics1>"
  EMPTY_LIBRARY_PATH="$<TARGET_FILE:empty_library>"
  PROGRAM_PATH="$<TARGET_FILE:host-sim>"
  ${inspect_foreign_definitions})
# Engine plug-ins: one that needs the engine's library, and on ELF platforms
# one that only imports its functions (tests/plugin_check.cmake builds both).
target_compile_definitions(inspect_tests PRIVATE
  ENGINE_IDLE_PLUGIN_PATH="$<TARGET_FILE:engine_idle_plugin>")
add_dependencies(inspect_tests engine_idle_plugin)
if(NOT WIN32)
  target_compile_definitions(inspect_tests PRIVATE
    ENGINE_UNLINKED_PLUGIN_PATH="$<TARGET_FILE:engine_unlinked_plugin>")
  add_dependencies(inspect_tests engine_unlinked_plugin)
endif()
# Sanitizer and coverage builds give my_physics1 constructors and runtimes of
# their own, so there its file is held only to what they cannot change.
if(MY_PHYSICS1_SANITIZE OR MY_PHYSICS1_COVERAGE)
  target_compile_definitions(inspect_tests PRIVATE MY_PHYSICS1_INSTRUMENTED=1)
endif()
add_dependencies(inspect_tests my_physics1 empty_library host-sim inspect_foreign_inputs
                 ${inspect_inputs})
# Under wine the listing may be the first program to run, which creates the
# wine prefix; a busy machine takes more than the default 5 s for it.
gtest_discover_tests(inspect_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES ${coverage_fixture})
