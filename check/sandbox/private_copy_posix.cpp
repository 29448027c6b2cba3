#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "sandbox/private_copy.hpp"

namespace plugin_check::sandbox {
namespace {

std::string error_text() { return std::generic_category().message(errno); }

// A file only this process holds: in memory where the kernel offers it,
// sealed so no one, the plug-in included, can change it; else an unnamed
// file in the temporary directory.
int private_file(const std::string &name, bool &sealable) {
  sealable = true;
  const int fd = memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd >= 0) {
    return fd;
  }
  sealable = false;
  const char *folder = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe): before any thread
  const std::string base = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  const int unnamed = open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0400);
  if (unnamed >= 0) {
    return unnamed;
  }
  std::string pattern = base + "/plugin.XXXXXX";
  const int named = mkostemp(pattern.data(), O_CLOEXEC);
  if (named >= 0) {
    unlink(pattern.c_str());
  }
  return named;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

PrivateCopy::~PrivateCopy() {
  if (held_ >= 0) {
    close(static_cast<int>(held_));
  }
}

std::string PrivateCopy::make(std::string_view bytes, const std::string &name) {
  bool sealable = false;
  const int fd = private_file(name, sealable);
  if (fd < 0) {
    return "cannot make a private copy of the file: " + error_text();
  }
  held_ = fd;
  if (!write_all(fd, bytes)) {
    return "cannot write a private copy of the file: " + error_text();
  }
  if (sealable &&
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return "cannot seal the private copy of the file: " + error_text();
  }
  // Children are forks, which keep the descriptor, and so the same path.
  std::string through = "/proc/self/fd/" + std::to_string(fd);
  if (access(through.c_str(), R_OK) != 0) {
    return "cannot reach the private copy of the file at " + through + ": " + error_text();
  }
  path_ = std::move(through);
  return {};
}

}  // namespace plugin_check::sandbox
