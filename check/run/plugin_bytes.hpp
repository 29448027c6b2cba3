// The plug-in's file as one run judges it: read once at the start, named by
// its SHA-256, and loaded by every child from a private copy of those bytes,
// so a file changed on disk mid-run changes no check's verdict, and is
// reported as changed.
#pragma once

#include <cstdint>
#include <string>

#include "sandbox/private_copy.hpp"

namespace plugin_check {

class PluginBytes {
 public:
  // Reads the file at `path`. One that cannot be read whole (absent, no
  // regular file, too large) has no bytes: the file checks then say why, and
  // the children are given `path` itself.
  explicit PluginBytes(const std::string &path);

  // The file's SHA-256 in hexadecimal; empty when it could not be read.
  [[nodiscard]] const std::string &sha256() const { return sha256_; }

  // What the checks read and load: the private copy, else the file itself.
  [[nodiscard]] const std::string &load_path() const {
    return copy_.path().empty() ? path_ : copy_.path();
  }

  // Why the checks read the file itself and not a private copy; empty when
  // they read the copy.
  [[nodiscard]] const std::string &copy_problem() const { return copy_problem_; }

  // One line saying how the file on disk differs now from the bytes read at
  // the start; empty when it is the same.
  [[nodiscard]] std::string change_on_disk() const;

  // `text` with the copy's path written as the file's own, so a reason that
  // names the file names the one the user gave.
  [[nodiscard]] std::string as_the_file(std::string text) const;

 private:
  std::string path_;
  std::string sha256_;
  std::string copy_problem_;
  sandbox::PrivateCopy copy_;
};

// The most plugin-check reads into memory to copy: far beyond any plug-in.
inline constexpr std::uintmax_t plugin_bytes_limit = std::uintmax_t{1} << 30U;

}  // namespace plugin_check
