// Every check plugin-check makes registers itself here, once, beside its
// code: its name, what it proves, its level, platforms, stage and group in
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
struct World;
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

// Where a check runs, by name: the groups run in the order written here, and
// the checks of a group in the order their one file registers them (a file's
// static objects are made in the order they are written, whatever the link
// order of the files). The file checks come first, and their first is the
// file's format; the load check is the first of the behaviour stage.
enum class Group {
  file,          // what the file says, read without loading it
  load,          // the gate of every behaviour check
  rows,          // the service table's rows
  contract,      // a life, and the calls a host may make out of turn
  step_collide,  // step and collide, on threads and many times over
  answers,       // the same answers on one thread and on many
  varied,        // a host that offers what the contract allows in other ways
  names,         // a world that holds the names the plug-in asks for
  crowded,       // a world of a hundred bodies
  engine,        // the engine's world around the plug-in
  process,       // the process around each call of a life, part by part
  table,         // the process as one table
  whole,         // the process read whole, line by line
  long_life,     // a thousand steps
  overlap,       // steps on several host threads
  after_unload,  // the host's moves once the plug-in is gone
  reach,         // what the plug-in reaches beyond what it plainly needs
};

// What a surveying check found, in the parent: the lines the report opens
// with, whatever the verdict, and the check's own outcome.
struct Survey {
  std::vector<std::string> opening;
  Outcome outcome;
};

struct Check {
  std::string_view name;
  std::string_view proves;  // one sentence, for --list
  // What a plug-in author does about a fault it finds: one short imperative
  // clause, which ends each of its FAIL and WARN lines.
  std::string_view fix;
  Level level = Level::failure;
  Platforms platforms = Platforms::all;
  Stage stage = Stage::behaviour;
  Group group = Group::file;
  // Whether the later checks of its stage wait for it to pass: a file that is
  // no plug-in here is not read further, and one that does not load is not run.
  bool gate = false;
  // Added to the reason of a crash or a hang, to say what the check had done to the
  // plug-in; empty for most.
  std::string_view crash_context = {};
  std::string_view elsewhere = {};  // why it cannot be made off its platforms
  // The world the check runs in, made from the one the run gives (the
  // standard world, plugin-check's engine world or the author's); null for
  // that one.
  tamrix_host::World (*world)(const tamrix_host::World &given) = nullptr;

  // The body: one of these, by the stage. A file check judges what the
  // reader learnt; a behaviour check is given the plug-in loaded, or, when it
  // must see the process before the load, the file's path to load itself.
  Outcome (*judge)(const PluginFile &file) = nullptr;
  Outcome (*run)(const tamrix_host::Plugin &plugin, tamrix_host::Host &host) = nullptr;
  Outcome (*run_loading)(const std::string &path, tamrix_host::Host &host) = nullptr;

  // A check that surveys the plug-in before any check runs, so that the report
  // opens with what it found: given the file, what its child said (`run`, in a
  // child before the file checks; a skip without one) and the categories the
  // command line allows, it makes the opening lines and the check's outcome.
  Survey (*survey)(const PluginFile &file, const Outcome &child,
                   const std::vector<std::string> &allowed) = nullptr;

  // The file that registered it, set by Registration: a group's order is that
  // file's only while the group has one file.
  std::string_view source = {};
};

// Registers `check`; made once per check, as a static object beside its code.
struct Registration {
  // `file` is the registering file's, as the compiler names it where the
  // registration is written (clang 14 has no std::source_location).
  explicit Registration(const Check &check, const char *file = __builtin_FILE()) noexcept;
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
