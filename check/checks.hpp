// Every check plugin-check makes, in the order it makes them. The report, the
// JUnit file, the help text and the runner of each behaviour check are all
// made from this one table, so none can drift from what runs.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace plugin_check {

enum class Verdict { pass, warn, fail, skip };

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
  Level level;
  Platforms platforms;
  Stage stage;
  // Said after a crash or a hang, to say what the check had done to the
  // plug-in; empty for most.
  std::string_view crash_context = {};
  std::string_view elsewhere = {};  // why it cannot be made off its platforms
};

inline constexpr std::array checks = {
    // ---- The file, read without loading it
    Check{"file-format", "the file is a shared library for this machine and word size",
          Level::failure, Platforms::all, Stage::file},
    Check{"exports",
          "the thirteen names are exported, the rows as writable pointer-sized data and the "
          "functions as code",
          Level::failure, Platforms::all, Stage::file},
    Check{"no-code-at-load",
          "loading the file runs no code of the plug-in's own: no constructor, PREINIT_ARRAY, "
          "DT_INIT or indirect-function resolver",
          Level::failure, Platforms::all, Stage::file},
    Check{"no-code-at-unload",
          "unloading the file runs no code of the plug-in's own: no destructor, DT_FINI or exit "
          "handler",
          Level::failure, Platforms::all, Stage::file},
    Check{"extra-exports", "nothing is exported beyond the thirteen names", Level::warning,
          Platforms::all, Stage::file},
    Check{"needed", "the file needs no library beyond the system's C runtime and loader",
          Level::warning, Platforms::all, Stage::file},
    Check{"relro",
          "the relocated data and the GOT are read-only after load (full RELRO)",
          Level::warning,
          Platforms::linux_only,
          Stage::file,
          {},
          "an ELF property"},
    Check{"exec-stack",
          "the file asks for no executable stack",
          Level::warning,
          Platforms::linux_only,
          Stage::file,
          {},
          "an ELF property"},
    Check{"textrel",
          "the file's code is not patched at load (no text relocations)",
          Level::warning,
          Platforms::linux_only,
          Stage::file,
          {},
          "an ELF property"},
    Check{"dll-characteristics",
          "the DLL asks for ASLR, high-entropy ASLR and DEP",
          Level::warning,
          Platforms::windows_only,
          Stage::file,
          {},
          "a property of DLLs"},

    // ---- The plug-in loaded, each check in a child process of its own. `load`
    // comes first: when it fails, nothing after it can run.
    Check{"load", "the file loads here and every one of the thirteen names resolves",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"rows-null-after-load", "every service row reads null until physics_special_init",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"set-up-fills-rows",
          "physics_special_init stores argument n in row n, all seven every call, nulls included",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"rows-read-afresh",
          "the plug-in calls each service through its row, never through a copy of its own",
          Level::failure, Platforms::all, Stage::behaviour,
          " (other code had replaced rows 2 and 6)"},
    Check{"rows-unchanged",
          "no hook and no getBody call writes a service row: each holds what other code stored "
          "there last",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"whole-life-twice",
          "two whole lives run without a crash or a hang and behave alike, and getBody returns "
          "the host's answer",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"def-name-not-format", "a DEF name never reaches the console printer as its format",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"threads-step-collide", "step and collide from 8 threads at once finish", Level::failure,
          Platforms::all, Stage::behaviour},
    Check{"null-services", "the plug-in survives any one of the seven rows left null",
          Level::warning, Platforms::all, Stage::behaviour,
          " (a host may leave out any service, so look at a row before calling it)"},
    Check{"get-body-null", "getBody(NULL) does not crash", Level::warning, Platforms::all,
          Stage::behaviour, " (getBody was given a null name)"},
    Check{"init-cleanup-twice", "init twice or cleanup twice in a row does not crash",
          Level::warning, Platforms::all, Stage::behaviour,
          " (init and cleanup were each called twice in a row)"},
    Check{"handles-opaque",
          "the plug-in never reads or writes through a body, geometry or contact-group handle",
          Level::warning, Platforms::all, Stage::behaviour,
          " (the host's handles point into pages with no access rights: they are opaque, so "
          "never look behind one)"},
    Check{"step-collide-no-heap", "step and collide never allocate from the heap", Level::warning,
          Platforms::all, Stage::behaviour},
    Check{"step-collide-quiet",
          "step and collide write nothing to the host's console, standard output or error",
          Level::warning, Platforms::all, Stage::behaviour},
    // ---- The process around the plug-in: each of these runs a life of its own
    // with a snapshot before load and after every call.
    Check{"fp-environment",
          "no call changes the rounding mode, the floating-point traps or flush-to-zero",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"signals",
          "no call changes a signal's action or the calling thread's signal mask",
          Level::failure,
          Platforms::linux_only,
          Stage::behaviour,
          {},
          "Windows has no signal actions or masks to change"},
    Check{"threads-left", "no call leaves a thread of the plug-in's own running", Level::failure,
          Platforms::all, Stage::behaviour},
    Check{"processes-left",
          "no call leaves a process of the plug-in's own running",
          Level::failure,
          Platforms::linux_only,
          Stage::behaviour,
          {},
          "the processes a process started are read from /proc, on Linux"},
    Check{"process-settings",
          "no call changes the working directory, umask, environment or locale (on Windows: "
          "the working directory and environment)",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"descriptors-left",
          "a life closes every descriptor (handle) it opens and leaves 0, 1 and 2 as they were",
          Level::warning, Platforms::all, Stage::behaviour},
    Check{"heap-balanced", "a life frees every heap block it allocates", Level::warning,
          Platforms::all, Stage::behaviour},
    Check{"reload",
          "unloaded, the library leaves the process, and loaded again it starts afresh and "
          "behaves as the first time",
          Level::failure, Platforms::all, Stage::behaviour},
    Check{"step-collide-no-syscalls",
          "step and collide make no system call",
          Level::warning,
          Platforms::linux_only,
          Stage::behaviour,
          {},
          "system calls are filtered with seccomp, on Linux"},
};

// The entry named `name`, or null.
constexpr const Check *find_check(std::string_view name) {
  for (const Check &check : checks) {
    if (check.name == name) {
      return &check;
    }
  }
  return nullptr;
}

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
