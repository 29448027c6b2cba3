// The run: the file checks, then each behaviour check in a process of its
// own, and one finding per check.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.hpp"
#include "verdict.hpp"

namespace plugin_check {

class PluginBytes;

// Everything the program does after parsing: file checks, then each
// behaviour check in its own child process, all of `bytes`, the file as read
// at the start. `each` (when set) hears each finding as soon as it is made,
// so a report can be printed as it grows. When the file on disk is no longer
// those bytes at the end, a last finding, file_unchanged, fails.
// `opening` (when set) hears the lines the report opens with, before any
// finding: what the surveying checks found (the plug-in's reach).
std::vector<Finding> run_battery(const Options &options, const PluginBytes &bytes,
                                 const std::function<void(const Finding &)> &each = {},
                                 const std::function<void(const std::string &)> &opening = {});

// The file stage alone, as a run makes it but without the options, the copy
// or a child: what plugin-check learns from the file at `path` without loading
// it.
struct FileReport {
  // One finding per file check made here, judged by the check's level and
  // `strict`; the first is always the file's format.
  std::vector<Finding> findings;
  // Whether the file may be handed to the loader at all: a file for another
  // machine, or no library at all, never is; then every other finding is a skip.
  bool loadable = false;
  std::string why_not_loadable;
  // Whether the plug-in uses the host's rigid-body engine (PluginFile::engine).
  bool engine = false;
};
FileReport check_file(const std::string &path, bool strict);

// The name of the finding a run adds when the file changed on disk.
inline constexpr std::string_view file_unchanged = "file-unchanged";

// What a child process runs: args are the check's name, the plug-in's path
// and its world (worlds.hpp).
int run_check_in_child(const std::vector<std::string> &args);

}  // namespace plugin_check
