// Every check plugin-check makes registers itself here, once, beside its
// code: its name, what it proves, its level, platforms, stage and place in
// the run. The run, the report, --list, --help, the man pages and JUnit are
// all made from the registrations, so none can drift from what runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "verdict.hpp"

namespace tamrix_host {
class Plugin;
class Host;
}  // namespace tamrix_host

namespace plugin_check {

struct PluginFile;

enum class Level {
  failure,  // a plug-in that shows the fault is unsafe to load
  warning,  // a failure only under --strict
};

// Where a check can be made at all; elsewhere it says SKIP with `elsewhere`.
enum class Platforms { all, linux_only, windows_only };

// What the check reads: the file without loading it, or a plug-in loaded in a
// child process of its own.
enum class Stage { file, behaviour };

struct Check {
  std::string_view name;
  std::string_view proves;  // one sentence, for --list
  Level level = Level::failure;
  Platforms platforms = Platforms::all;
  Stage stage = Stage::behaviour;
  // Where it runs: lower first, the file stage before the behaviour stage.
  int place = 0;
  // Whether the later checks of its stage wait for it to pass: a file that is
  // no plug-in here is not read further, and one that does not load is not run.
  bool gate = false;
  // Added to the reason of a crash or a hang, to say what the check had done to the
  // plug-in; empty for most.
  std::string_view crash_context = {};
  std::string_view elsewhere = {};  // why it cannot be made off its platforms

  // The body: one of these, by the stage. A file check judges what the
  // reader learnt; a behaviour check is given the plug-in loaded, or, when it
  // must see the process before the load, the file's path to load itself.
  Outcome (*judge)(const PluginFile &file) = nullptr;
  Outcome (*run)(const tamrix_host::Plugin &plugin, tamrix_host::Host &host) = nullptr;
  Outcome (*run_loading)(const std::string &path, tamrix_host::Host &host) = nullptr;
};

// Registers `check`; made once per check, as a static object beside its code.
struct Registration {
  explicit Registration(const Check &check) noexcept;
};

// Every registered check, in the order of the run.
const std::vector<Check> &checks();

// The check named `name`, or null.
const Check *find_check(std::string_view name);

#ifdef _WIN32
inline constexpr bool built_for_windows = true;
#else
inline constexpr bool built_for_windows = false;
#endif

// Whether `check` can be made on the platform this program was built for.
constexpr bool made_here(const Check &check) {
  return check.platforms == Platforms::all ||
         (check.platforms == Platforms::windows_only) == built_for_windows;
}

// What a fault found by `check` becomes in the report: `found` is fail for
// the fault itself and warn for a lesser doubt (a failure only under --strict).
constexpr Verdict judged(const Check &check, Verdict found, bool strict) {
  if (found == Verdict::warn || (found == Verdict::fail && check.level == Level::warning)) {
    return strict ? Verdict::fail : Verdict::warn;
  }
  return found;
}

}  // namespace plugin_check
