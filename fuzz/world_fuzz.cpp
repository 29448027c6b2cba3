// The world-file reader on any text, through a file as host-sim gives it one;
// a world it accepts is built too.
#include <cstddef>
#include <cstdint>

#include "memory_file.hpp"
#include "sim/world_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fuzz::MemoryFile text(data, size);
  tamrix_host::WorldFile world;
  if (tamrix_host::read_world_file(text.path(), world).empty()) {
    static_cast<void>(tamrix_host::world_of(world));
  }
  return 0;
}
