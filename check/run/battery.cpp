// The battery: the file checks, then each behaviour check in a child process
// of its own, so whatever the plug-in does to its process, the report goes on.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "behaviour/behaviour.hpp"
#include "behaviour/watched_life.hpp"
#include "inspect/plugin_file.hpp"
#include "run/battery.hpp"
#include "run/plugin_bytes.hpp"
#include "run/worlds.hpp"
#include "sandbox/protocol.hpp"

namespace plugin_check {
namespace {

// The time-outs of a run. A child stopped by the time limit runs once more
// before its time-out becomes a verdict: a machine busy with other work may
// slow a sound plug-in past the limit once, seldom twice in a row. Once a
// plug-in ran out of time twice in one function it hangs there, and a later
// check stopped in that function is not tried again, so a plug-in that hangs
// in every life costs one limit per check, not two.
class Retries {
 public:
  // The check that already ran out of time twice in `hook` (the plug-in
  // function it was in, or empty for none); empty: try again.
  [[nodiscard]] std::string hung_there(const std::string &hook) const;
  // `check` ran out of time twice, the second time in `hook`.
  void hung_twice(const std::string &hook, std::string_view check);

 private:
  std::map<std::string, std::string> hung_;  // by the function, the first check that hung there
};

std::string Retries::hung_there(const std::string &hook) const {
  const auto found = hung_.find(hook);
  return found == hung_.end() ? std::string() : found->second;
}

void Retries::hung_twice(const std::string &hook, std::string_view check) {
  hung_.try_emplace(hook, check);
}

// The child's result, on its channel.
void report(const Outcome &outcome) { sandbox::send_result(outcome.verdict, outcome.reason); }

// What a behaviour check's child said, as its finding.
Finding finding_of(const Check &check, const Options &options, const sandbox::Heard &heard) {
  const std::string name(check.name);
  switch (heard.end) {
    case sandbox::Heard::End::result:
      return {name, judged(check, heard.verdict, options.strict), heard.reason};
    case sandbox::Heard::End::failed:
      break;
    case sandbox::Heard::End::not_started:
      // The machine's fault, not the plug-in's: the check's own fix would mislead.
      return {name, Verdict::fail, "could not run the check: " + heard.reason,
              "run plugin-check again once the machine can start processes"};
  }
  return {name, judged(check, Verdict::fail, options.strict),
          heard.reason + std::string(check.crash_context)};
}

// A behaviour check's finding, from a child of its own, or two when the first
// ran out of time (see Retries).
Finding run_in_child(const Check &check, const Options &options, const PluginBytes &bytes,
                     const std::string &world, Retries &retries) {
  const auto run = [&](bool second_try) {
    sandbox::Heard heard = sandbox::run_in_child(
        run_check_in_child, {std::string(check.name), bytes.load_path(), world},
        options.timeout_seconds, second_try);
    heard.reason = bytes.as_the_file(std::move(heard.reason));
    return heard;
  };
  sandbox::Heard heard = run(false);
  if (!heard.timed_out()) {
    return finding_of(check, options, heard);
  }
  if (const std::string hung = retries.hung_there(heard.hook); !hung.empty()) {
    Finding finding = finding_of(check, options, heard);
    finding.note = "not tried again: " + hung + " hung there twice";
    return finding;
  }
  const std::string first = heard.reason;
  heard = run(true);
  if (heard.timed_out()) {
    retries.hung_twice(heard.hook, check.name);
    return finding_of(check, options, heard);
  }
  Finding finding = finding_of(check, options, heard);
  finding.note = "on a second try; the first " + first;
  return finding;
}

// A file check's finding; a reason that names the copy names the file.
Finding judge_file(const Check &check, const PluginFile &file, bool strict,
                   const PluginBytes *bytes) {
  Outcome outcome = check.judge(file);
  if (bytes != nullptr) {
    outcome.reason = bytes->as_the_file(std::move(outcome.reason));
  }
  return {std::string(check.name), judged(check, outcome.verdict, strict),
          std::move(outcome.reason)};
}

// `finding` with its check's fix, when it is a fault and has none of its own.
Finding with_fix(const Check &check, Finding finding) {
  if (finding.fix.empty() &&
      (finding.verdict == Verdict::fail || finding.verdict == Verdict::warn)) {
    finding.fix = check.fix;
  }
  return finding;
}

// The findings of the surveying checks, made before the loop, by name.
using Surveyed = std::map<std::string, Finding, std::less<>>;

// Each chosen surveying check: its child, when it has one, run as the loop
// runs every child, then its survey in the parent; the opening lines go to
// `opening`, the findings wait for the loop. Only for a file the format check
// would pass: another is read no further.
Surveyed survey(const Options &options, const PluginFile &file, const PluginBytes &bytes,
                const std::string &world, Retries &retries,
                const std::function<void(const std::string &)> &opening) {
  Surveyed surveyed;
  if (!file.format_problem.empty()) {
    return surveyed;
  }
  for (const Check &check : checks()) {
    if (check.survey == nullptr || !made_here(check) || !options.chosen(check.name)) {
      continue;
    }
    Finding child{std::string(check.name), Verdict::skip, "no child watches it"};
    if (check.run != nullptr) {
      child = run_in_child(check, options, bytes, world, retries);
    }
    Survey found = check.survey(file, {child.verdict, child.reason}, options.allow);
    for (const std::string &line : found.opening) {
      if (opening) {
        opening(bytes.as_the_file(line));
      }
    }
    surveyed.emplace(check.name,
                     Finding{.check = std::string(check.name),
                             .verdict = judged(check, found.outcome.verdict, options.strict),
                             .reason = bytes.as_the_file(std::move(found.outcome.reason)),
                             .note = std::move(child.note)});
  }
  return surveyed;
}

// One check's finding in the run's order: a skip where it cannot be made or
// a gate closed before it, what the survey found where it judged the check,
// else the check made here or in a child. A gate that does not pass closes
// `gate_closed` for every later check.
Finding finding_of(const Check &check, const Options &options, const PluginFile &file,
                   const PluginBytes *bytes, const std::string &world, const Surveyed &surveyed,
                   Retries &retries, std::string &gate_closed) {
  Finding finding{std::string(check.name), Verdict::skip, gate_closed};
  if (!made_here(check)) {
    finding.reason = "not made on this platform: " + std::string(check.elsewhere);
    return finding;
  }
  if (!gate_closed.empty()) {
    return finding;
  }
  if (const auto found = surveyed.find(check.name); found != surveyed.end()) {
    return with_fix(check, found->second);
  }
  const bool behaviour = check.stage == Stage::behaviour;
  finding = with_fix(check, behaviour ? run_in_child(check, options, *bytes, world, retries)
                                      : judge_file(check, file, options.strict, bytes));
  if (check.gate && finding.verdict != Verdict::pass) {
    // Not "could not be loaded": the load check may have failed by its time
    // limit, with a file that loads.
    gate_closed = behaviour ? "the load check did not pass: " + finding.reason
                            : "the file is not a plug-in for this platform";
  }
  return finding;
}

// The one loop of a run, over the registry in its order: the file checks
// judged here, on `file`, and each behaviour check run in a child of its own
// on `bytes` in `world`; without `bytes`, the file stage alone, and no child.
// A check left out by --only or --skip is neither run nor reported, but the
// gates run, unreported: the file's format always, and the load for any
// behaviour check that was chosen. Returns why the gates closed, if they did.
std::string run_checks(const Options &options, const PluginFile &file, const PluginBytes *bytes,
                       const std::string &world, const std::function<void(Finding)> &add,
                       Retries &retries, const Surveyed &surveyed = {}) {
  const bool behaviour_chosen =
      bytes != nullptr && std::any_of(checks().begin(), checks().end(), [&](const Check &check) {
        return check.stage == Stage::behaviour && made_here(check) && options.chosen(check.name);
      });
  // No check runs after a gate that did not pass; why it did not pass is
  // every later check's reason to skip.
  std::string gate_closed;
  for (const Check &check : checks()) {
    const bool behaviour = check.stage == Stage::behaviour;
    const bool reported = options.chosen(check.name) && (bytes != nullptr || !behaviour);
    if (!reported && !(check.gate && (!behaviour || behaviour_chosen))) {
      continue;
    }
    Finding finding =
        finding_of(check, options, file, bytes, world, surveyed, retries, gate_closed);
    if (reported) {
      add(std::move(finding));
    }
  }
  return gate_closed;
}

}  // namespace

int run_check_in_child(const std::vector<std::string> &args) {
  const Check *check = args.size() == 3 ? find_check(args[0]) : nullptr;
  if (check == nullptr || check->stage != Stage::behaviour) {
    report(failed("no such check"));
    return 0;
  }
  tamrix_host::set_hook_listener(sandbox::send_progress);
  try {
    tamrix_host::World world = world_from_argument(args[2]);
    if (check->world != nullptr) {
      world = check->world(world);
    }
    Host host(std::move(world));
    if (host.engine_world() != nullptr) {
      engine_stubs.fill(host);
    }
    if (check->run_loading != nullptr) {
      // A plug-in that changes the working directory must not lose the
      // checker its file.
      std::error_code error;
      const std::filesystem::path path = std::filesystem::absolute(args[1], error);
      report(check->run_loading(error ? args[1] : path.string(), host));
      return 0;
    }
    std::unique_ptr<const Plugin> plugin = load_plugin(args[1]);
    report(check->run(*plugin, host));
    unload_plugin_at_the_end(plugin);
  } catch (const tamrix_host::LoadError &error) {
    report(failed(error.what()));
  }
  return 0;
}

void note(const std::string &text) { sandbox::send_note(text); }

std::vector<Finding> run_battery(const Options &options, const PluginBytes &bytes,
                                 const std::function<void(const Finding &)> &each,
                                 const std::function<void(const std::string &)> &opening) {
  const PluginFile file = read_plugin_file(bytes.load_path());
  std::vector<Finding> findings;
  const auto add = [&findings, &each](Finding finding) {
    findings.push_back(std::move(finding));
    if (each) {
      each(findings.back());
    }
  };
  const std::string world = world_argument(options.world_file, file.engine);
  Retries retries;
  const Surveyed surveyed = survey(options, file, bytes, world, retries, opening);
  run_checks(options, file, &bytes, world, add, retries, surveyed);
  // Not a check of the registry: a fact about this run, made by the parent
  // after every child, which fails whatever --only or --skip chose.
  if (std::string change = bytes.change_on_disk(); !change.empty()) {
    add({std::string(file_unchanged), Verdict::fail, std::move(change),
         "leave the file as it is until the run ends"});
  }
  return findings;
}

FileReport check_file(const std::string &path, bool strict) {
  Options options;
  options.strict = strict;
  const PluginFile file = read_plugin_file(path);
  FileReport report;
  report.engine = file.engine;
  Retries no_children;
  report.why_not_loadable = run_checks(
      options, file, nullptr, {},
      [&report](Finding finding) {
        // Where it is not made here it says so in a run, and is no finding of the file.
        if (made_here(*find_check(finding.check))) {
          report.findings.push_back(std::move(finding));
        }
      },
      no_children);
  report.loadable = report.why_not_loadable.empty();
  return report;
}

}  // namespace plugin_check
