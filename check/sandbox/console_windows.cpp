#include <io.h>
#include <windows.h>

#include <array>
#include <cstdio>
#include <string>

#include "sandbox/console.hpp"

namespace plugin_check::sandbox {
namespace {

std::FILE *console_scratch = nullptr;
BY_HANDLE_FILE_INFORMATION console_file{};

// Whether `handle` is the scratch file: a handle's number is no proof, since
// Windows hands a closed one's number to the next file opened.
bool is_console_file(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION now{};
  return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
         GetFileInformationByHandle(handle, &now) &&
         now.dwVolumeSerialNumber == console_file.dwVolumeSerialNumber &&
         now.nFileIndexHigh == console_file.nFileIndexHigh &&
         now.nFileIndexLow == console_file.nFileIndexLow;
}

// _get_osfhandle() gives the handle as an integer by design.
HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));  // NOLINT(performance-no-int-to-ptr)
}

constexpr std::array<DWORD, 3> standard_handles = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                                                   STD_ERROR_HANDLE};

}  // namespace

bool capture_console() {
  std::fflush(nullptr);
  console_scratch = std::tmpfile();
  if (console_scratch == nullptr) {
    return false;
  }
  const int scratch = _fileno(console_scratch);
  bool redirected = GetFileInformationByHandle(handle_of(scratch), &console_file) != 0;
  for (int fd = 0; fd < 3; ++fd) {
    redirected = redirected && _dup2(scratch, fd) == 0;
    // Plug-ins that write through the system's own handles are caught as well.
    SetStdHandle(standard_handles.at(static_cast<std::size_t>(fd)), handle_of(fd));
  }
  return redirected;
}

long long console_bytes() {
  std::fflush(nullptr);
  // The file's length, which every descriptor's writes add to.
  return console_scratch != nullptr ? _filelengthi64(_fileno(console_scratch)) : 0;
}

std::string console_moved() {
  constexpr std::array<const char *, 3> names = {"standard input", "standard output",
                                                 "standard error"};
  std::string moved;
  for (int fd = 0; fd < 3; ++fd) {
    const auto index = static_cast<std::size_t>(fd);
    if (!is_console_file(handle_of(fd)) ||
        !is_console_file(GetStdHandle(standard_handles.at(index)))) {
      moved += (moved.empty() ? "" : ", ") + std::string(names.at(index));
    }
  }
  return moved;
}

}  // namespace plugin_check::sandbox
