// Bytes as a file, for readers that take a path: a memfd, named through
// /proc, so the reader runs exactly as it does on a file on disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz {

class MemoryFile {
 public:
  MemoryFile(const std::uint8_t *data, std::size_t size)
      : fd_(memfd_create("fuzz-input", MFD_CLOEXEC)) {
    // Without its file the target would test nothing: stop the run loudly.
    if (fd_ < 0) {
      std::abort();
    }
    while (size > 0) {
      const ssize_t written = write(fd_, data, size);
      if (written <= 0) {
        std::abort();
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile &) = delete;
  MemoryFile &operator=(const MemoryFile &) = delete;
  MemoryFile(MemoryFile &&) = delete;
  MemoryFile &operator=(MemoryFile &&) = delete;

  [[nodiscard]] std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

}  // namespace fuzz
