# Header-only libraries from Debian's packages (CLI11, toml++) live in this
# machine's /usr/include, which a cross build must never search whole: the C
# library headers there are this machine's, not the target's. An interface
# target whose include folder holds one link, to the library's own folder,
# serves every build alike.
#
#   debian_header_only(<target> <folder under /usr/include> <Debian package>)
function(debian_header_only target folder package)
  if(TARGET ${target})
    return()
  endif()
  if(NOT EXISTS "/usr/include/${folder}")
    message(FATAL_ERROR "/usr/include/${folder} was not found: install Debian's ${package} "
                        "(apt-get install ${package})")
  endif()
  set(root "${PROJECT_BINARY_DIR}/header-only/${target}")
  file(MAKE_DIRECTORY "${root}")
  file(CREATE_LINK "/usr/include/${folder}" "${root}/${folder}" SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE "${root}")
endfunction()
