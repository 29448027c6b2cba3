// What plugin-check learns from a plug-in file without loading it or running
// any of its code.
#pragma once

#include <string>
#include <vector>

#include "checks.hpp"

namespace plugin_check {

// "PASS", "WARN", "FAIL" or "SKIP", as the report prints it.
const char *verdict_word(Verdict verdict);

struct Finding {
  std::string check;  // short and stable, e.g. "file-format", "exports"
  Verdict verdict;
  std::string reason;  // for anything but a pass, in words a plug-in author understands
};

struct FileReport {
  // One finding per file check the reader can make here, judged by the
  // check's level and `strict`.
  std::vector<Finding> findings;
  // Whether the file may be handed to the loader at all: a file for another
  // machine, or no library at all, never is.
  bool loadable = false;
  std::string why_not_loadable;
};

// Checks the file at `path` as a plug-in for the platform this program was
// built for. The first finding is always the file's format; when that one
// fails, the others are skipped and the file is not loadable.
FileReport check_file(const std::string &path, bool strict);

}  // namespace plugin_check
