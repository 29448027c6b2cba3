// The PE reader on bytes alone, apart from the file they came from, so the
// format's reading can be tried on any machine with any bytes (the fuzzer
// does).
#pragma once

#include <vector>

#include "binary_kind/binary_kind.hpp"
#include "inspect/plugin_file.hpp"

namespace plugin_check {

// Reads `bytes` as a DLL for a program that loads `loadable`: read_plugin_file()
// once the file is read. Never throws for bad bytes.
PluginFile read_dll(std::vector<unsigned char> bytes, const tamrix_host::BinaryKind &loadable);

}  // namespace plugin_check
