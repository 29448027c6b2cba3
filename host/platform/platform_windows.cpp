#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <io.h>

#include <string>

#include "platform/pages.hpp"
#include "platform/platform.hpp"

namespace tamrix_host::platform {
namespace {

// The host speaks UTF-8; Windows speaks UTF-16.
std::wstring wide(const std::string &text) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
  return result;
}

std::string narrow(const wchar_t *text, std::size_t length) {
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr,
                      nullptr);
  return result;
}

// The system's own words for `code`, on one line, with the code itself so a
// user can look it up whatever language the message is in. Some messages
// name their file as "%1"; `subject` stands in for it.
std::string describe(DWORD code, const std::string &subject) {
  wchar_t *buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  std::string message = length > 0 ? narrow(buffer, length) : std::string();
  LocalFree(buffer);
  for (char &character : message) {
    if (character == '\r' || character == '\n') {
      character = ' ';
    }
  }
  message.erase(message.find_last_not_of(' ') + 1);
  for (std::size_t at = message.find("%1"); at != std::string::npos;
       at = message.find("%1", at + subject.size())) {
    message.replace(at, 2, subject);
  }
  const std::string number = "error " + std::to_string(code);
  return message.empty() ? number : message + " (" + number + ")";
}

}  // namespace

Library open_library(const std::string &path, std::string &reason) {
  // A full path loads the file the user named, never one LoadLibrary finds
  // through its search order, and lets the plug-in's own dependencies be
  // found beside it.
  const std::wstring named = wide(path);
  const DWORD size = GetFullPathNameW(named.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(named.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    reason = describe(GetLastError(), path);
    return nullptr;
  }
  full.resize(length);
  // A file that is not a DLL must fail with an error code, never a dialog box.
  DWORD previous_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode);
  HMODULE library = LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const DWORD error = GetLastError();
  SetThreadErrorMode(previous_mode, nullptr);
  if (library == nullptr) {
    reason = describe(error, path);
  }
  return library;
}

void *find_symbol(Library library, const char *name) {
  // GetProcAddress returns data rows through the same function pointer type.
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void close_library(Library library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string program_folder() {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0) {
      return {};
    }
    if (length < self.size()) {
      self.resize(length);
      break;
    }
    self.resize(self.size() * 2);  // truncated: long paths go past MAX_PATH
  }
  const std::string path = narrow(self.data(), self.size());
  return path.substr(0, path.find_last_of("/\\") + 1);
}

void *reserve_no_access(std::size_t size) {
  // Reserved and never committed: any access is an access violation.
  return VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
}

void release_no_access(void *pages, std::size_t /*size*/) { VirtualFree(pages, 0, MEM_RELEASE); }

std::size_t page_size() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  return system.dwPageSize;
}

bool open_pages(void *pages, std::size_t size) {
  return VirtualAlloc(pages, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void make_read_only(void *pages, std::size_t size) {
  DWORD before = 0;
  VirtualProtect(pages, size, PAGE_READONLY, &before);
}

// Decommitted pages stay reserved, and no access reaches them.
void close_pages(void *pages, std::size_t size) { VirtualFree(pages, size, MEM_DECOMMIT); }

std::string not_replaceable(const std::string &path) {
  const std::wstring name = wide(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  const bool is_link =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const std::string link = is_link ? "a link to " : "";
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return link + "a directory";
  }
  // Device names such as NUL have no attributes to read, but open as what
  // they are; so does the target of a link.
  const HANDLE file =
      CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return is_link && GetLastError() == ERROR_FILE_NOT_FOUND ? "a link to nothing" : "";
  }
  const DWORD type = GetFileType(file);
  CloseHandle(file);
  switch (type) {
    case FILE_TYPE_DISK:
      return {};
    case FILE_TYPE_CHAR:
      return link + "a device";
    case FILE_TYPE_PIPE:
      return link + "a pipe";
    default:
      return link + "a special file";
  }
}

int divert_standard_output(std::FILE *file) {
  std::fflush(stdout);
  const int saved = _dup(_fileno(stdout));
  if (saved >= 0 && _dup2(_fileno(file), _fileno(stdout)) != 0) {
    _close(saved);
    return -1;
  }
  return saved;
}

void restore_standard_output(int saved) {
  std::fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const unsigned chunk = text.size() > 1U << 20 ? 1U << 20 : static_cast<unsigned>(text.size());
    const int written = _write(fd, text.data(), chunk);
    if (written <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace tamrix_host::platform
