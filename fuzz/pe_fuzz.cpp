// The PE reader on any bytes, as the Windows plugin-check reads a 64-bit
// x86-64 DLL, whatever machine the fuzzer runs on.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "binary_kind/binary_kind.hpp"
#include "inspect/pe_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  tamrix_host::BinaryKind dll;
  dll.format = tamrix_host::BinaryKind::Format::pe;
  dll.bits = 64;
  dll.machine = "x86-64";
  dll.role = tamrix_host::BinaryKind::Role::library;
  static_cast<void>(plugin_check::read_dll(std::vector<unsigned char>(data, data + size), dll));
  return 0;
}
