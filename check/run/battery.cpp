// The battery: the file checks, then each behaviour check in a child process
// of its own, so whatever the plug-in does to its process, the report goes on.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string_view>

#include "behaviour/behaviour.hpp"
#include "inspect/file_checks.hpp"
#include "run/battery.hpp"
#include "run/plugin_bytes.hpp"
#include "run/worlds.hpp"
#include "sandbox/protocol.hpp"

namespace plugin_check {
namespace {

// The child's result, on its channel.
void report(const Outcome &outcome) { sandbox::send_result(outcome.verdict, outcome.reason); }

Finding run_in_child(const Check &check, const Options &options, const PluginBytes &bytes,
                     const std::string &world) {
  const std::string name(check.name);
  sandbox::Heard heard = sandbox::run_in_child(run_check_in_child, {name, bytes.load_path(), world},
                                               options.timeout_seconds);
  heard.reason = bytes.as_the_file(std::move(heard.reason));
  switch (heard.end) {
    case sandbox::Heard::End::result:
      return {name, judged(check, heard.verdict, options.strict), heard.reason};
    case sandbox::Heard::End::failed:
      break;
    case sandbox::Heard::End::not_started:
      return {name, Verdict::fail, "could not run the check: " + heard.reason};
  }
  return {name, judged(check, Verdict::fail, options.strict),
          heard.reason + std::string(check.crash_context)};
}

const Finding *finding_of(const std::vector<Finding> &findings, std::string_view check) {
  for (const Finding &finding : findings) {
    if (finding.check == check) {
      return &finding;
    }
  }
  return nullptr;
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
    Host host(world_from_argument(args[2]));
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
    tamrix_host::entering("loading the file");
    const Plugin plugin(args[1]);
    tamrix_host::entering(nullptr);
    report(check->run(plugin, host));
    tamrix_host::entering("unloading the file");
  } catch (const tamrix_host::LoadError &error) {
    report(failed(error.what()));
  }
  return 0;
}

void note(const std::string &text) { sandbox::send_note(text); }

std::vector<Finding> run_battery(const Options &options, const PluginBytes &bytes,
                                 const std::function<void(const Finding &)> &each) {
  FileReport file = check_file(bytes.load_path(), options.strict);
  for (Finding &finding : file.findings) {
    finding.reason = bytes.as_the_file(std::move(finding.reason));
  }
  // A check left out by --only or --skip is neither run nor reported, but the
  // load gate runs, unreported, for any behaviour check that was chosen.
  const bool behaviour_chosen =
      std::any_of(checks().begin(), checks().end(), [&](const Check &check) {
        return check.stage == Stage::behaviour && made_here(check) && options.chosen(check.name);
      });
  std::vector<Finding> findings;
  const auto add = [&findings, &each](Finding finding) {
    findings.push_back(std::move(finding));
    if (each) {
      each(findings.back());
    }
  };
  // No behaviour check runs until the load gate has passed; why it did not
  // pass is every later check's reason to skip.
  std::string gate_closed = file.loadable ? "" : file.why_not_loadable;
  const std::string world = world_argument(options.world_file, file.engine);
  for (const Check &check : checks()) {
    const bool gate = check.gate && check.stage == Stage::behaviour;
    const bool reported = options.chosen(check.name);
    if (!reported && !(gate && behaviour_chosen)) {
      continue;
    }
    const std::string name(check.name);
    Finding finding{name, Verdict::skip, gate_closed};
    if (!made_here(check)) {
      finding.reason = "not made on this platform: " + std::string(check.elsewhere);
    } else if (check.stage == Stage::file) {
      const Finding *found = finding_of(file.findings, check.name);
      finding = found != nullptr ? *found
                                 : Finding{name, Verdict::skip,
                                           "the file reader has no finding "
                                           "for it here"};
    } else if (gate_closed.empty()) {
      finding = run_in_child(check, options, bytes, world);
      if (gate && finding.verdict != Verdict::pass) {
        // Not "could not be loaded": the load check may have failed by its
        // time limit, with a file that loads.
        gate_closed = "the load check did not pass: " + finding.reason;
      }
    }
    if (reported) {
      add(std::move(finding));
    }
  }
  // Not a check of the registry: a fact about this run, made by the parent
  // after every child, which fails whatever --only or --skip chose.
  if (std::string change = bytes.change_on_disk(); !change.empty()) {
    add({std::string(file_unchanged), Verdict::fail, std::move(change)});
  }
  return findings;
}

}  // namespace plugin_check
