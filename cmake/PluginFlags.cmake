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

function(my_physics1_plugin_flags target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "VERSION_SCRIPT" "")
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # Linking through the C driver keeps libstdc++ and libgcc_s out of NEEDED.
    LINKER_LANGUAGE C)
  target_compile_options(${target} PRIVATE
    -O2
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
    -fstack-protector-strong -fstack-clash-protection -fcf-protection=full
    -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2
    -Werror=format-security)
  if(MY_PHYSICS1_HAVE_ALIGN_DATA_ABI)
    target_compile_options(${target} PRIVATE -malign-data=abi)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Any code at load or unload would run inside the host before it asked.
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-Werror=global-constructors -Werror=exit-time-destructors>)
  endif()
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
