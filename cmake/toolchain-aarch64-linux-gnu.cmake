# AArch64 Linux, built with Debian's cross compilers and run under qemu-user,
# so ctest runs every test program as it would on the machine itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(sysroot /usr/aarch64-linux-gnu)

set(CMAKE_FIND_ROOT_PATH "${sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Built here to run under an emulator, where no one debugs it, and stripped
# when packed: optimised as the native tests' builds are, with no debug
# information, which took a third of each compile's time.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")

# The loader comes from the cross sysroot, so the C library must too: on a
# machine that also has Debian's arm64 libc6 installed, the loader would
# otherwise find that one in /lib/aarch64-linux-gnu, and a loader and C library
# from different builds hang at the first new thread. -E sets the variable for
# the emulated program only.
# The rigid-body engine is Debian's arm64 build, unpacked apart by
# cmake/engine/fetch_arm64.sh, since its packages are not multi-arch; the
# emulated programs load it and its libccd from there.
set(TAMRIX_ENGINE_ROOT /opt/tamrix-engine/aarch64 CACHE PATH
    "Debian's arm64 engine packages, unpacked (cmake/engine/fetch_arm64.sh)")
find_program(qemu_aarch64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${qemu_aarch64};-L;${sysroot};-E;LD_LIBRARY_PATH=${sysroot}/lib:${TAMRIX_ENGINE_ROOT}/usr/lib/aarch64-linux-gnu")
