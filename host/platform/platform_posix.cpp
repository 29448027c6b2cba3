#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>

#include "platform/pages.hpp"
#include "platform/platform.hpp"

namespace tamrix_host::platform {

Library open_library(const std::string &path, std::string &reason) {
  // Without a slash dlopen() would search the library path, not the file the
  // user named.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char *error = dlerror();  // NOLINT(concurrency-mt-unsafe): per thread in glibc
    reason = error != nullptr ? error : "unknown error";
  }
  return library;
}

void *find_symbol(Library library, const char *name) { return dlsym(library, name); }

void close_library(Library library) { dlclose(library); }

std::string program_folder() {
  std::array<char, PATH_MAX> self{};
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) {
    return {};
  }
  std::string path(self.data(), static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

void *reserve_no_access(std::size_t size) {
  // MAP_NORESERVE: the pages are never touched, so they need no backing.
  void *pages = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void release_no_access(void *pages, std::size_t size) { munmap(pages, size); }

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

bool open_pages(void *pages, std::size_t size) {
  return mprotect(pages, size, PROT_READ | PROT_WRITE) == 0;
}

void make_read_only(void *pages, std::size_t size) { mprotect(pages, size, PROT_READ); }

void close_pages(void *pages, std::size_t size) {
  // Fresh pages in their place: what they held is gone with their rights.
  if (mmap(pages, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
           0) == MAP_FAILED) {
    mprotect(pages, size, PROT_NONE);
  }
}

std::string not_replaceable(const std::string &path) {
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0) {
    return {};
  }
  struct stat target = link;
  const bool is_link = S_ISLNK(link.st_mode);
  if (is_link && stat(path.c_str(), &target) != 0) {
    // Writing through it would create a file wherever it points.
    return "a symbolic link to nothing";
  }
  const mode_t mode = target.st_mode;
  if (S_ISREG(mode)) {
    return {};
  }
  const char *what = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "a special file";
  return (is_link ? std::string("a symbolic link to ") : std::string()) + what;
}

int divert_standard_output(std::FILE *file) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  if (saved >= 0 && dup2(fileno(file), STDOUT_FILENO) < 0) {
    close(saved);
    return -1;
  }
  return saved;
}

void restore_standard_output(int saved) {
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace tamrix_host::platform
