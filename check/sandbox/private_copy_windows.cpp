#include <windows.h>

#include <string>
#include <vector>

#include "sandbox/private_copy.hpp"

namespace plugin_check::sandbox {
namespace {

std::string error_text() { return "error " + std::to_string(GetLastError()); }

// The loader is handed paths in UTF-8, as the user gave the plug-in's.
std::string utf8(const std::wstring &text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

}  // namespace

PrivateCopy::~PrivateCopy() {
  if (held_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(held_));  // NOLINT(performance-no-int-to-ptr)
    DeleteFileW(wide_path_.c_str());
  }
}

// A temporary file, written once and then held open for the whole run with
// no sharing of writes, so no one can open it to change it while children
// load it; deleted at the end.
std::string PrivateCopy::make(std::string_view bytes, const std::string & /*name*/) {
  std::vector<wchar_t> folder(MAX_PATH + 1);
  std::vector<wchar_t> file(MAX_PATH + 1);
  if (GetTempPathW(MAX_PATH + 1, folder.data()) == 0 ||
      GetTempFileNameW(folder.data(), L"plg", 0, file.data()) == 0) {
    return "cannot make a private copy of the file: " + error_text();
  }
  const std::wstring wide(file.data());
  // With a DLL's extension, which the loader otherwise adds itself.
  const std::wstring path = wide + L".dll";
  if (MoveFileExW(wide.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
    DeleteFileW(wide.c_str());
    return "cannot make a private copy of the file: " + error_text();
  }
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DeleteFileW(path.c_str());
    return "cannot write a private copy of the file: " + error_text();
  }
  DWORD written = 0;
  const bool whole =
      WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
      written == bytes.size();
  CloseHandle(handle);
  if (!whole) {
    DeleteFileW(path.c_str());
    return "cannot write a private copy of the file: " + error_text();
  }
  // Held for reading only: the loader, which shares reads but not writes,
  // refuses a file anyone holds open for writing.
  handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DeleteFileW(path.c_str());
    return "cannot hold the private copy of the file: " + error_text();
  }
  path_ = utf8(path);
  wide_path_ = path;
  held_ = reinterpret_cast<std::intptr_t>(handle);
  return {};
}

}  // namespace plugin_check::sandbox
