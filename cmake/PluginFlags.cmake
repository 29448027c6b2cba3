# How every plug-in of this project is built: the plug-in itself and the empty
# reference libraries it is compared with, so a comparison measures code, not
# flags.
#
#   my_physics1_plugin_flags(<target> [VERSION_SCRIPT <file>])
include(CheckCXXCompilerFlag)
# gcc on x86 aligns static objects of 32 bytes or more to 32 for vector code;
# the plug-in's mutex is never touched by vector code, so ABI alignment keeps
# its writable data small.
check_cxx_compiler_flag(-malign-data=abi MY_PHYSICS1_HAVE_ALIGN_DATA_ABI)

# The flags as two lists, for the CMake targets below and for the pkg-config
# file authors without CMake build with (compile flags for C and C++ alike;
# the C++-only ones stay with the targets).
#
#   my_physics1_plugin_flag_lists(<compile_var> <link_var> [VERSION_SCRIPT <file>] [DEFS])
#
# DEFS: -z defs, which sanitizer runtimes (resolved only at load time) forbid.
function(my_physics1_plugin_flag_lists compile_var link_var)
  cmake_parse_arguments(PARSE_ARGV 2 arg "DEFS" "VERSION_SCRIPT" "")
  set(compile
    # The header marks the thirteen names for export, not import, in the
    # plug-in's own build.
    -DTAMRIX_PHYSICS_BUILDING_PLUGIN
    -O2 -fstack-protector-strong -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -Werror=format-security)
  # Control-flow protection is per architecture: CET on x86, BTI and return
  # address signing on AArch64.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
    list(APPEND compile -fcf-protection=full)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    list(APPEND compile -mbranch-protection=standard)
  endif()
  if(MY_PHYSICS1_HAVE_ALIGN_DATA_ABI)
    list(APPEND compile -malign-data=abi)
  endif()
  if(WIN32)
    # A DLL that a user's machine loads as it is: the threads functions, libgcc
    # and the stack protector's runtime are linked in, so it imports only from
    # Windows and its C runtime; what it exports is what the header marks
    # dllexport and nothing else; ASLR (64-bit) and DEP are on.
    # -fstack-protector-strong at link time brings MinGW's libssp, which any
    # function with a local array needs there.
    set(link -static -fstack-protector-strong -Wl,--no-undefined -Wl,--exclude-all-symbols
             -Wl,--dynamicbase,--high-entropy-va,--nxcompat)
  else()
    # Windows probes every stack page anyway; ELF systems need asking.
    list(APPEND compile -fstack-clash-protection)
    set(link -Wl,-z,relro,-z,now,-z,noexecstack,-z,text)
    # -z defs turns a reference to anything outside the C library (with
    # libm, and the engine for ENGINE plug-ins, which tamrix_add_physics_plugin
    # and the pkg-config file name) into a link error.
    if(arg_DEFS)
      list(APPEND link -Wl,-z,defs)
    endif()
    if(arg_VERSION_SCRIPT)
      list(APPEND link "-Wl,--version-script=${arg_VERSION_SCRIPT}")
    endif()
  endif()
  set(${compile_var} "${compile}" PARENT_SCOPE)
  set(${link_var} "${link}" PARENT_SCOPE)
endfunction()

function(my_physics1_plugin_flags target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "VERSION_SCRIPT" "")
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # Linking through the C driver keeps libstdc++ and libgcc_s out of NEEDED.
    LINKER_LANGUAGE C)
  set(defs DEFS)
  if(MY_PHYSICS1_SANITIZE)
    set(defs "")
    if(MY_PHYSICS1_SANITIZE MATCHES "address" AND CMAKE_C_COMPILER_ID STREQUAL "Clang")
      # The service rows are pointers the host writes, their size fixed by the
      # contract; clang would give each exported object its redzone's size.
      target_compile_options(${target} PRIVATE "SHELL:-mllvm -asan-globals=0")
    endif()
  endif()
  set(script "")
  if(arg_VERSION_SCRIPT)
    set(script VERSION_SCRIPT "${arg_VERSION_SCRIPT}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${arg_VERSION_SCRIPT}")
  endif()
  my_physics1_plugin_flag_lists(compile link ${defs} ${script})
  target_compile_options(${target} PRIVATE ${compile}
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  target_link_options(${target} PRIVATE ${link})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Any code at load or unload would run inside the host before it asked.
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-Werror=global-constructors -Werror=exit-time-destructors>)
  endif()
endfunction()
