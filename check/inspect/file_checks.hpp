// What plugin-check learns from a plug-in file without loading it or running
// any of its code.
#pragma once

#include <string>
#include <vector>

namespace plugin_check {

enum class Verdict { pass, warn, fail, skip };

// "PASS", "WARN", "FAIL" or "SKIP", as the report prints it.
const char *verdict_word(Verdict verdict);

struct Finding {
  std::string check;  // short and stable, e.g. "file-format", "exports"
  Verdict verdict;
  std::string reason;  // for anything but a pass, in words a plug-in author understands
};

// Checks the file at `path` as a plug-in for the platform this program was
// built for. Checks that only `strict` makes failures come back as warnings
// without it. The first finding is always the file's format; when that one
// fails, the file cannot be loaded here and the others are skipped.
std::vector<Finding> check_file(const std::string &path, bool strict);

}  // namespace plugin_check
