// The ELF reader on any bytes, through a file as plugin-check gives it one.
#include <cstddef>
#include <cstdint>

#include "inspect/plugin_file.hpp"
#include "memory_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::MemoryFile file(data, size);
  static_cast<void>(plugin_check::read_plugin_file(file.path()));
  return 0;
}
