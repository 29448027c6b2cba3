# The rigid-body engine the engine world and ENGINE plug-ins use: one target,
# tamrix_engine, with the engine's headers and its library. Debian ships a
# pkg-config file and no CMake config.
if(TARGET tamrix_engine)
  return()
endif()
find_package(PkgConfig REQUIRED)
pkg_check_modules(TAMRIX_ENGINE REQUIRED IMPORTED_TARGET ode)
add_library(tamrix_engine INTERFACE IMPORTED GLOBAL)
target_link_libraries(tamrix_engine INTERFACE PkgConfig::TAMRIX_ENGINE)
