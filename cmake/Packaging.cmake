# Man pages, the licence, and the packages: a .deb on Linux (amd64 or arm64,
# whichever the build targets) and a .zip on Windows, made by `cpack` in a
# build tree or all three by `cmake --workflow --preset package`. Included
# last, once every install rule exists.

# ---- Man pages, generated from the programs' own --help and --version, so
# they cannot drift from them. A cross build cannot run help2man on its
# programs; it ships the native build's pages, named by MY_PHYSICS1_MAN_PAGES.
set(MY_PHYSICS1_MAN_PAGES "" CACHE PATH
    "A folder with host-sim.1.gz and plugin-check.1.gz to install instead of generating them")
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
set(man_dir "${PROJECT_BINARY_DIR}/man")
if(WIN32)
  # Windows has no man; the zip carries the programs' --help.
elseif(MY_PHYSICS1_MAN_PAGES)
  install(FILES "${MY_PHYSICS1_MAN_PAGES}/host-sim.1.gz" "${MY_PHYSICS1_MAN_PAGES}/plugin-check.1.gz"
          DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
elseif(HELP2MAN AND GZIP AND NOT CMAKE_CROSSCOMPILING)
  set(pages "")
  set(what_host-sim "run a Tamrix physics plug-in's whole life without the simulator")
  set(what_plugin-check "prove that a Tamrix physics plug-in keeps the contract")
  foreach(program host-sim plugin-check)
    set(page "${man_dir}/${program}.1")
    add_custom_command(OUTPUT "${page}.gz"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${man_dir}"
      COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --name "${what_${program}}"
              --include "${PROJECT_SOURCE_DIR}/cmake/man/${program}.h2m"
              --output "${page}" "$<TARGET_FILE:${program}>"
      # -n: no name or time stamp in the header, so the same page packs the same.
      COMMAND "${GZIP}" -9nf "${page}"
      DEPENDS ${program} "${PROJECT_SOURCE_DIR}/cmake/man/${program}.h2m"
      COMMENT "Writing the man page of ${program}"
      VERBATIM)
    list(APPEND pages "${page}.gz")
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
else()
  message(STATUS "No man pages: help2man and gzip are needed, and a native build")
endif()

# ---- What an author reads: the front page, the pages under docs/ and every
# project under examples/, laid out as in the source tree, so the pages' links
# to each other and to the examples lead somewhere where they are installed:
# in Debian's documentation folder, or at the top of the unpacked zip, beside
# LICENSE.
if(WIN32)
  set(doc_dir .)
else()
  # Debian's name for the package, which allows no underscore.
  set(doc_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/my-physics1")
endif()
install(FILES README.md DESTINATION "${doc_dir}" COMPONENT documentation)
install(DIRECTORY docs examples DESTINATION "${doc_dir}" COMPONENT documentation)

# ---- Common to every package
set(CPACK_PACKAGE_NAME my_physics1)
set(CPACK_PACKAGE_VENDOR "the my_physics1 authors")
set(CPACK_PACKAGE_CONTACT "my_physics1 authors <my-physics1@users.noreply.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "physics plug-in for Tamrix hosts, with its checker")
# Folded at 72 columns, as Debian's control files want it.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "my_physics1 is a minimal physics plug-in for the Tamrix robotics\n"
  "simulator, with the kit around it: the C contract header, the CMake\n"
  "package that builds and checks other plug-ins, host-sim, a stand-in\n"
  "host that runs a plug-in's whole life, and plugin-check, which proves\n"
  "that a plug-in keeps the contract and leaves the host's process as it\n"
  "found it.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_OUTPUT_FILE_PREFIX "${PROJECT_BINARY_DIR}/packages")

if(WIN32)
  # Everything side by side in the unpacked folder: the DLL, both programs
  # (linked statically, so no MinGW DLL travels with them), the header, the
  # CMake package and the licence.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "my_physics1-${PROJECT_VERSION}-windows-x86_64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  install(FILES LICENSE DESTINATION . COMPONENT documentation)
else()
  set(CPACK_GENERATOR DEB)
  # Debian's names allow no underscore.
  set(CPACK_DEBIAN_PACKAGE_NAME my-physics1)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
  # The host runs the engine. Natively dpkg-shlibdeps reads that from the
  # installed libode8; the arm64 engine is only unpacked beside this machine's
  # (its packages are not multi-arch), so there the tool finds the library in
  # that folder, without a package to name, and the dependency is written as
  # libode8's own shlibs file gives it.
  if(CMAKE_CROSSCOMPILING AND TAMRIX_ENGINE_ROOT)
    file(GLOB engine_libdir LIST_DIRECTORIES true "${TAMRIX_ENGINE_ROOT}/usr/lib/*-linux-gnu")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${engine_libdir}")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libode8 (>= 2:0.16.2)")
  endif()
  # ENGINE plug-ins and the fixture find the engine's headers through its
  # pkg-config file; the programs and the plug-in need neither.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libode-dev, pkg-config")
  # The summary is the synopsis line; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")

  # Debian's documentation folder also holds the licence as `copyright` and a
  # changelog, compressed without a time stamp.
  set(debian_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
  string(TIMESTAMP changelog_date "%a, %d %b %Y 00:00:00 +0000" UTC)
  set(changelog "${PROJECT_BINARY_DIR}/changelog.Debian")
  file(WRITE "${changelog}"
       "${CPACK_DEBIAN_PACKAGE_NAME} (${debian_version}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}.\n\n"
       " -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}\n")
  if(GZIP)
    execute_process(COMMAND "${GZIP}" -9nf "${changelog}")
    install(FILES "${changelog}.gz" DESTINATION "${doc_dir}" COMPONENT documentation)
  endif()
  install(FILES LICENSE DESTINATION "${doc_dir}" RENAME copyright COMPONENT documentation)
  # Each override has its reason on the line above it.
  install(FILES cmake/lintian-overrides DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
          RENAME ${CPACK_DEBIAN_PACKAGE_NAME} COMPONENT documentation)
endif()

include(CPack)

# ---- The cross packages, built by the native package build in trees of
# their own with the toolchain files, so one workflow leaves all three. They
# are built as the tests build them (Release, as the cross presets say), and
# CPack strips what it packs.
option(MY_PHYSICS1_CROSS_PACKAGES "Also build the AArch64 .deb and the Windows .zip" OFF)
if(MY_PHYSICS1_CROSS_PACKAGES)
  include(ExternalProject)
  foreach(target aarch64-linux-gnu x86_64-w64-mingw32)
    # GNUInstallDirs picks Debian's multiarch folder only for native builds.
    set(libdir "")
    if(target MATCHES "linux")
      set(libdir "-DCMAKE_INSTALL_LIBDIR=lib/${target}")
    endif()
    ExternalProject_Add(package_${target}
      SOURCE_DIR "${PROJECT_SOURCE_DIR}"
      BINARY_DIR "${PROJECT_BINARY_DIR}/cross/${target}"
      CMAKE_ARGS
        -G Ninja
        "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-${target}.cmake"
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
        "-DCMAKE_INSTALL_PREFIX=${CMAKE_INSTALL_PREFIX}" ${libdir}
        -DMY_PHYSICS1_WERROR=${MY_PHYSICS1_WERROR}
        "-DMY_PHYSICS1_MAN_PAGES=${man_dir}"
      BUILD_COMMAND "${CMAKE_COMMAND}" --build <BINARY_DIR>
      COMMAND "${CMAKE_CPACK_COMMAND}" --config <BINARY_DIR>/CPackConfig.cmake
              -D "CPACK_OUTPUT_FILE_PREFIX=${CPACK_OUTPUT_FILE_PREFIX}"
      INSTALL_COMMAND ""
      BUILD_ALWAYS ON
      USES_TERMINAL_BUILD ON)
    # The pages come from this build's own programs.
    if(TARGET man_pages)
      add_dependencies(package_${target} man_pages)
    endif()
  endforeach()
endif()
