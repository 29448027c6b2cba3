// What a child's plug-in writes to the console, kept where a check can
// measure it. One implementation per system family (console_posix.cpp,
// console_windows.cpp).
#pragma once

#include <string>

namespace plugin_check::sandbox {

// Inside a child: from now on keeps what the process writes to its standard
// input, output and error in a scratch file instead of discarding it, so that
// console_bytes() can tell whether anything was written. False where it cannot.
bool capture_console();

// Bytes that reached the scratch file since capture_console(), buffered C
// streams included, measured on the file itself: moving a descriptor's offset
// hides nothing.
long long console_bytes();

// The standard descriptors that no longer lead to the scratch file, e.g.
// "standard output"; empty when all three still do.
std::string console_moved();

}  // namespace plugin_check::sandbox
