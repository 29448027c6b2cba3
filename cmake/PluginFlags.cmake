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

# A DLL that a user's machine loads as it is: the threads functions, libgcc
# and the stack protector's runtime are linked in, so it imports only from
# Windows and its C runtime; what it exports is what the header marks
# dllexport and nothing else; ASLR (64-bit) and DEP are on.
function(_my_physics1_windows_link_flags target)
  # -fstack-protector-strong at link time brings MinGW's libssp, which any
  # function with a local array needs there.
  target_link_options(${target} PRIVATE
    -static -fstack-protector-strong -Wl,--no-undefined -Wl,--exclude-all-symbols
    -Wl,--dynamicbase,--high-entropy-va,--nxcompat)
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
  # The header marks the thirteen names for export, not import, in the
  # plug-in's own build.
  target_compile_definitions(${target} PRIVATE TAMRIX_PHYSICS_BUILDING_PLUGIN)
  target_compile_options(${target} PRIVATE
    -O2
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
    -fstack-protector-strong
    -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2
    -Werror=format-security)
  # Control-flow protection is per architecture: CET on x86, BTI and return
  # address signing on AArch64.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
    target_compile_options(${target} PRIVATE -fcf-protection=full)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    target_compile_options(${target} PRIVATE -mbranch-protection=standard)
  endif()
  if(MY_PHYSICS1_HAVE_ALIGN_DATA_ABI)
    target_compile_options(${target} PRIVATE -malign-data=abi)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Any code at load or unload would run inside the host before it asked.
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-Werror=global-constructors -Werror=exit-time-destructors>)
  endif()
  if(WIN32)
    _my_physics1_windows_link_flags(${target})
    return()
  endif()
  # Windows probes every stack page anyway; ELF systems need asking.
  target_compile_options(${target} PRIVATE -fstack-clash-protection)
  target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now,-z,noexecstack,-z,text)
  # -z defs turns a reference to anything outside the C library into a link
  # error; sanitizer runtimes resolve only at load time, so those builds drop it.
  if(NOT MY_PHYSICS1_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,-z,defs)
  endif()
  if(arg_VERSION_SCRIPT)
    target_link_options(${target} PRIVATE "-Wl,--version-script=${arg_VERSION_SCRIPT}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${arg_VERSION_SCRIPT}")
  endif()
endfunction()
