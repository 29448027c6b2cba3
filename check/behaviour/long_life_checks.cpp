// Faults that wait: a plug-in that behaves for three steps and changes the
// process at step 150, writes a row at step 301, enters the kernel from step
// 101 on, or waits for step 5,000. One long life, watched at every call where
// watching is cheap (the rows), where it is not (the whole process) at powers
// of two up to 1,024 steps and every 1,024 steps after that.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/lives.hpp"
#include "behaviour/row_watch.hpp"
#include "behaviour/watched_life.hpp"
#include "observe/process_state.hpp"
#include "programs/join.hpp"
#include "sandbox/console.hpp"
#include "sandbox/syscall_filter.hpp"

namespace plugin_check {
namespace {

// Far past the few hundred calls the other checks make, and a multiple of
// the spacing of the later snapshots, so the last falls after the last step.
constexpr long dense_steps = 1024;  // the snapshots up to here are at powers of two
constexpr long life_steps = 20 * dense_steps;

// Whether the process is compared after `step`: often early, where most
// faults that wait show, then at an even spacing, so a fault that waits for
// step 5,000 is placed within 1,024 steps at a cost of 30 snapshots.
bool compared_after(long step) {
  if (step <= dense_steps) {
    return (step & (step - 1)) == 0;
  }
  return step % dense_steps == 0 || step == life_steps;
}

// "at step 1", "between step 129 and step 256".
std::string steps_text(long first, long last) {
  return first == last
             ? "at step " + std::to_string(last)
             : "between step " + std::to_string(first) + " and step " + std::to_string(last);
}

// What the long life found, worst first when it is reported.
struct Findings {
  // Failures, as rows-unchanged and the checks of the process judge them.
  std::vector<std::string> faults;
  // Failures only under --strict, as descriptors-left, step-collide-quiet and
  // step-collide-no-syscalls judge them.
  std::vector<std::string> warnings;

  [[nodiscard]] Outcome outcome(std::string_view advice) const {
    if (faults.empty() && warnings.empty()) {
      return passed();
    }
    std::vector<std::string> all = faults;
    all.insert(all.end(), warnings.begin(), warnings.end());
    return {faults.empty() ? Verdict::warn : Verdict::fail,
            tamrix_host::join(all, "; ") + "; " + std::string(advice)};
  }
};

// One name per call, made before the filter is on, since under it nothing
// may allocate: the filter names whichever running_hook() holds.
struct CallNames {
  std::vector<std::string> step;
  std::vector<std::string> collide;

  CallNames() {
    for (long n = 1; n <= life_steps; ++n) {
      step.push_back(std::string(hook::step.name) + " at step " + std::to_string(n));
      collide.push_back(std::string(hook::collide.name) + " at step " + std::to_string(n));
    }
  }
};

// The life under a system call filter, in a copy of this process made before
// the watched life starts, so both count their steps from the same place.
void watch_system_calls(const Plugin &plugin, const std::vector<tamrix_geom_handle> &geometries,
                        Findings &found) {
  const CallNames names;
  const FilteredRun run = run_without_system_calls([&] {
    for (std::size_t n = 0; n < names.step.size(); ++n) {
      plugin.call(hook::step.named_as(names.step[n].c_str()));
      plugin.call(hook::collide.named_as(names.collide[n].c_str()), geometries[0], geometries[1]);
      empty_contact_group(engine_stubs.group);
    }
  });
  if (run.end == FilteredRun::End::called) {
    found.warnings.push_back(run.text);
  } else if (run.end == FilteredRun::End::failed) {
    found.faults.push_back("under a system call filter, " + run.text);
  }
}

// How the long life words a row a call changed.
auto changed_at(const char *call, long step) {
  return [call, step](const std::string &rows) {
    return std::string(call) + " at step " + std::to_string(step) + " changed " + rows +
           ", where other code had stored something else";
  };
}

// Messages and bytes since the last look, for the span of steps it covers.
class ConsoleWatch {
 public:
  ConsoleWatch() : messages_(console_calls), bytes_(sandbox::console_bytes()) {}

  void look(const std::string &span) {
    if (!said_.empty()) {
      return;
    }
    const long messages = console_calls - messages_;
    const long long bytes = sandbox::console_bytes() - bytes_;
    const std::string moved = sandbox::console_moved();
    if (messages > 0 || bytes > 0) {
      said_ = std::string(hook::step.name) + " or " + hook::collide.name + " sent " +
              std::to_string(messages) + " messages to the host's console and printed " +
              std::to_string(bytes) + " bytes " + span;
    } else if (!moved.empty()) {
      said_ = std::string(hook::step.name) + " or " + hook::collide.name + " pointed " + moved +
              " away from the host's " + span;
    }
  }
  [[nodiscard]] const std::string &said() const { return said_; }

 private:
  long messages_;
  long long bytes_;
  std::string said_;
};

// A descriptor left open is a warning where descriptors-left judges it;
// every other change of the process is a failure.
void add(const Change &change, const std::string &doer, const std::string &when, Findings &found) {
  std::string text = doer + " " + change.text + " " + when;
  (change.aspect == Aspect::descriptors ? found.warnings : found.faults).push_back(std::move(text));
}

// What `doer` changed of the state since load, among the changes from
// `before_load` to `later` that were not there at `earlier`: a cleanup that
// undoes what init did changes nothing the host had.
void add_new_changes(const ProcessState &before_load, const ProcessState &earlier,
                     const ProcessState &later, const std::string &doer, const std::string &when,
                     Findings &found) {
  for (const Change &change :
       changes_since(difference(before_load, earlier), difference(before_load, later))) {
    add(change, doer, when, found);
  }
}

}  // namespace

Outcome long_life(const std::string &path, Host &host) {
  sandbox::capture_console();
  const ProcessState before_load = snapshot();
  auto plugin = load_plugin(path);
  set_up(*plugin, stub_services<7>());
  plugin->call(hook::init);
  plugin->call(hook::get_body, "arm");
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  Findings found;
  watch_system_calls(*plugin, geometries, found);

  RowWatch rows(*plugin, {stub_services<7>(), stub_services<8>()});
  ConsoleWatch console;
  ProcessState last = snapshot();
  long last_seen = 0;  // the step after which `last` was taken
  bool changed_in_steps = false;
  // Each named call tells the parent twice, which 20,000 steps would make
  // megabytes of, slow where a write is (an emulator): past the dense part,
  // the steps are named once, together.
  std::optional<tamrix_host::Running> late_steps;
  for (long step = 1; step <= life_steps; ++step) {
    if (step <= dense_steps) {
      rows.around([&] { plugin->call(hook::step); }, changed_at(hook::step.name, step));
      rows.around([&] { plugin->call(hook::collide, geometries[0], geometries[1]); },
                  changed_at(hook::collide.name, step));
    } else {
      if (!late_steps) {
        late_steps.emplace("tamrix_physics_step or tamrix_physics_collide");
      }
      rows.around([&] { plugin->call(hook::step.unnamed()); }, changed_at(hook::step.name, step));
      rows.around([&] { plugin->call(hook::collide.unnamed(), geometries[0], geometries[1]); },
                  changed_at(hook::collide.name, step));
    }
    empty_contact_group(engine_stubs.group);
    if (compared_after(step)) {  // 1, 2, 4 ... 1024, 2048, 3072 ...
      const std::string span = steps_text(last_seen + 1, step);
      ProcessState now = snapshot();
      // The first span that changed anything says it; a later one that
      // undid it would only repeat it.
      if (!changed_in_steps) {
        for (const Change &change : difference(last, now)) {
          add(change, std::string(hook::step.name) + " or " + hook::collide.name, span, found);
          changed_in_steps = true;
        }
      }
      console.look(span);
      last = std::move(now);
      last_seen = step;
      note("after " + std::to_string(step) + " steps of a " + std::to_string(life_steps) +
           "-step life");
    }
  }
  late_steps.reset();
  // The end of a long life: what cleanup and unload leave after it.
  plugin->call(hook::cleanup);
  const ProcessState cleaned = snapshot();
  const std::string after_life = "after " + std::to_string(life_steps) + " steps";
  add_new_changes(before_load, last, cleaned, hook::cleanup.name, after_life, found);
  if (unload_unless_running(plugin, before_load.threads())) {
    add_new_changes(before_load, cleaned, snapshot(), unloading_the_file, after_life, found);
  }
  if (!rows.changed().empty()) {
    found.faults.push_back(rows.changed());
  }
  if (!console.said().empty()) {
    found.warnings.push_back(console.said());
  }
  return found.outcome(
      "a host runs a plug-in for hours, so a fault that waits for step 5,000 is as bad as one "
      "at step 1");
}

const Registration long_life_check{{
    .name = "long-life",
    .proves = "over 20,480 steps, no step or collide changes the process, writes a service row, "
              "prints or makes a system call, and cleanup after them leaves the process as it was",
    .fix = "keep step and collide to arithmetic on your own memory, and leave the process as you "
           "found it at cleanup",
    .group = Group::long_life,
    .run_loading = long_life,
}};

}  // namespace plugin_check
