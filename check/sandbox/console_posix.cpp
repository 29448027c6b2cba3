#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "sandbox/console.hpp"

namespace plugin_check::sandbox {
namespace {

std::FILE *console_scratch = nullptr;
struct stat console_file {};

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool capture_console() {
  std::fflush(nullptr);
  console_scratch = std::tmpfile();
  if (console_scratch == nullptr) {
    return false;
  }
  const int scratch = fileno(console_scratch);
  // Appending, so a descriptor moved back to the file's start overwrites nothing.
  bool redirected = fcntl(scratch, F_SETFL, O_APPEND) == 0 && fstat(scratch, &console_file) == 0;
  for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    redirected = redirected && dup2(scratch, standard) >= 0;
  }
  return redirected;
}

long long console_bytes() {
  std::fflush(nullptr);
  struct stat now {};
  return console_scratch != nullptr && fstat(fileno(console_scratch), &now) == 0 ? now.st_size : 0;
}

std::string console_moved() {
  std::string moved;
  for (const auto &[fd, name] :
       {std::pair{STDIN_FILENO, "standard input"}, std::pair{STDOUT_FILENO, "standard output"},
        std::pair{STDERR_FILENO, "standard error"}}) {
    struct stat now {};
    if (fstat(fd, &now) != 0 || !same_file(now, console_file)) {
      moved += (moved.empty() ? "" : ", ") + std::string(name);
    }
  }
  return moved;
}

}  // namespace plugin_check::sandbox
