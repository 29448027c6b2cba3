# x86-64 Windows, built with Debian's MinGW-w64 cross compilers and run under
# wine. The -posix compilers, because the host library uses std::mutex and
# std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Built here to run under an emulator, where no one debugs it, and stripped
# when packed: optimised as the native tests' builds are, with no debug
# information, which took a third of each compile's time.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")

# Programs carry their C and C++ runtimes inside, so wine (and a user's
# machine) needs no MinGW DLLs beside them. Programs and libraries are linked
# without debug information: under wine a program's start costs in
# proportion to its whole file, and plugin-check, which starts a process for
# each check, started in 0.24 s with it (43 MB) and in 0.12 s without (4.6 MB).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--strip-debug")
set(CMAKE_SHARED_LINKER_FLAGS_INIT -Wl,--strip-debug)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -Wl,--strip-debug)

# Debian has no MinGW build of the rigid-body engine; cmake/engine/build_windows.sh
# builds one from Debian's source package into this folder.
set(TAMRIX_ENGINE_ROOT /opt/tamrix-engine/windows CACHE PATH
    "The engine built for Windows (cmake/engine/build_windows.sh)")

# Programs run under wine through cmake/wine.sh, which finds wine64 and holds
# the settings every wine run here shares (.ci/run and the package check use
# it too); the build tree keeps its own wine prefix.
set(wine_sh "${CMAKE_CURRENT_LIST_DIR}/wine.sh")
execute_process(COMMAND "${wine_sh}" --find RESULT_VARIABLE wine_status OUTPUT_QUIET ERROR_VARIABLE wine_error)
if(NOT wine_status EQUAL 0)
  message(FATAL_ERROR "${wine_error}")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${wine_sh};--build;${CMAKE_BINARY_DIR}")
