// What plugin-check learns from a plug-in file without loading it or running
// any of its code.
#pragma once

#include <string>
#include <vector>

#include "verdict.hpp"

namespace plugin_check {

struct FileReport {
  // One finding per file check made here, judged by the check's level and
  // `strict`.
  std::vector<Finding> findings;
  // Whether the file may be handed to the loader at all: a file for another
  // machine, or no library at all, never is.
  bool loadable = false;
  std::string why_not_loadable;
  // Whether the plug-in uses the host's rigid-body engine (PluginFile::engine).
  bool engine = false;
};

// Checks the file at `path` as a plug-in for the platform this program was
// built for. The first finding is always the file's format; when that one
// fails, the others are skipped and the file is not loadable.
FileReport check_file(const std::string &path, bool strict);

}  // namespace plugin_check
