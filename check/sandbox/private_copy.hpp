// A private copy of the plug-in's bytes, for every child to load: whatever
// happens to the file on disk during a run, each check judges the bytes read
// at its start. One implementation per system family (private_copy_posix.cpp,
// private_copy_windows.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plugin_check::sandbox {

class PrivateCopy {
 public:
  PrivateCopy() = default;
  ~PrivateCopy();
  PrivateCopy(const PrivateCopy &) = delete;
  PrivateCopy &operator=(const PrivateCopy &) = delete;
  PrivateCopy(PrivateCopy &&) = delete;
  PrivateCopy &operator=(PrivateCopy &&) = delete;

  // Makes the copy of `bytes`, shown under `name` where the system shows one;
  // the one-line reason it could not, or empty.
  std::string make(std::string_view bytes, const std::string &name);

  // Where this process and its children load the copy from; empty before
  // make() succeeded.
  [[nodiscard]] const std::string &path() const { return path_; }

 private:
  std::string path_;
  // A descriptor (POSIX) or a handle (Windows) that keeps the copy, and keeps
  // others from writing to it; -1 when there is none.
  std::intptr_t held_ = -1;
  std::wstring wide_path_;  // Windows: the copy's own name, to delete it by
};

}  // namespace plugin_check::sandbox
