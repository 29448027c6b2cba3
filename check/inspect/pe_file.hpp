// The PE reader, built on every system: a DLL's file, or its bytes alone,
// can be read on any machine (the fuzzer and the tests do). On Windows,
// read_plugin_file() is read_dll_file() for the DLLs this program loads.
#pragma once

#include <string>
#include <vector>

#include "binary_kind/binary_kind.hpp"
#include "inspect/plugin_file.hpp"

namespace plugin_check {

// Reads `bytes` as a DLL for a program that loads `loadable`. Never throws for
// bad bytes.
PluginFile read_dll(std::vector<unsigned char> bytes, const tamrix_host::BinaryKind &loadable);

// Reads the file at `path` as read_dll() does, without loading it.
PluginFile read_dll_file(const std::string &path, const tamrix_host::BinaryKind &loadable);

}  // namespace plugin_check
