# The rigid-body engine the engine world and ENGINE plug-ins use: one target,
# tamrix_engine, with the engine's headers and its library.
#
# Natively it is Debian's libode-dev, found through its pkg-config file (Debian
# ships no CMake config). Debian's packages cannot be installed for a cross
# target, so there the toolchain file names TAMRIX_ENGINE_ROOT, a folder the
# scripts in cmake/engine/ fill: Debian's AArch64 packages unpacked, or a
# Windows build from Debian's source package. The Windows package carries the
# engine itself, so its installed config finds it in the package's own tree.
#
# TAMRIX_ENGINE_RUNTIME names the file a Windows program needs beside it.
if(TARGET tamrix_engine)
  return()
endif()

set(tamrix_engine_version 0.16.2)
if(WIN32 AND NOT TAMRIX_ENGINE_ROOT)
  # Installed from the zip: <prefix>/lib/cmake/my_physics1/Engine.cmake.
  get_filename_component(tamrix_engine_package_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
  if(EXISTS "${tamrix_engine_package_root}/include/ode/ode.h")
    set(TAMRIX_ENGINE_ROOT "${tamrix_engine_package_root}")
  endif()
endif()

if(TAMRIX_ENGINE_ROOT)
  if(WIN32)
    set(tamrix_engine_script build_windows.sh)
    set(tamrix_engine_include "${TAMRIX_ENGINE_ROOT}/include")
    set(tamrix_engine_library "${TAMRIX_ENGINE_ROOT}/lib/libode_double.dll.a")
    set(TAMRIX_ENGINE_RUNTIME "${TAMRIX_ENGINE_ROOT}/bin/libode_double.dll")
  else()
    set(tamrix_engine_script fetch_arm64.sh)
    set(tamrix_engine_include "${TAMRIX_ENGINE_ROOT}/usr/include")
    file(GLOB tamrix_engine_library "${TAMRIX_ENGINE_ROOT}/usr/lib/*/libode.so")
    set(TAMRIX_ENGINE_RUNTIME "")
  endif()
  if(NOT EXISTS "${tamrix_engine_include}/ode/ode.h" OR NOT tamrix_engine_library
     OR NOT EXISTS "${tamrix_engine_library}")
    message(FATAL_ERROR "The engine for ${CMAKE_SYSTEM_PROCESSOR} ${CMAKE_SYSTEM_NAME} is not in "
      "${TAMRIX_ENGINE_ROOT}: run cmake/engine/${tamrix_engine_script} ${TAMRIX_ENGINE_ROOT} "
      "from the my_physics1 sources")
  endif()
  add_library(tamrix_engine INTERFACE IMPORTED GLOBAL)
  set_target_properties(tamrix_engine PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${tamrix_engine_include}"
    INTERFACE_LINK_LIBRARIES "${tamrix_engine_library}")
  if(NOT WIN32)
    # The engine needs libccd, unpacked beside it; the linker follows the
    # engine's own needs when it checks a program or a -z defs plug-in.
    get_filename_component(tamrix_engine_libdir "${tamrix_engine_library}" DIRECTORY)
    set_property(TARGET tamrix_engine PROPERTY
      INTERFACE_LINK_OPTIONS "LINKER:-rpath-link,${tamrix_engine_libdir}")
  endif()
  return()
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(TAMRIX_ENGINE_PC QUIET IMPORTED_TARGET GLOBAL ode>=${tamrix_engine_version})
endif()
if(NOT TARGET PkgConfig::TAMRIX_ENGINE_PC)
  message(FATAL_ERROR "The engine ${tamrix_engine_version} was not found through pkg-config "
    "(ode.pc): install Debian's libode-dev and pkg-config (apt-get install libode-dev pkg-config)")
endif()
add_library(tamrix_engine INTERFACE IMPORTED GLOBAL)
target_link_libraries(tamrix_engine INTERFACE PkgConfig::TAMRIX_ENGINE_PC)
set(TAMRIX_ENGINE_RUNTIME "")
