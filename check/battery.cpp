// The battery: the file checks, then each behaviour check in a child process
// of its own, so whatever the plug-in does to its process, the report goes on.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string_view>

#include "behaviour.hpp"
#include "plugin_check.hpp"
#include "sandbox/protocol.hpp"

namespace plugin_check {
namespace {

using Run = Said (*)(const Plugin &plugin, Host &host);
// For checks that must see the process before the load, and load it themselves.
using RunLoading = Said (*)(const std::string &path, Host &host);

struct Runner {
  std::string_view name;
  Run run = nullptr;
  RunLoading run_loading = nullptr;
};

// The code behind each behaviour check of the table, in the table's order.
constexpr std::array runners = {
    Runner{"load", loads},
    Runner{"rows-null-after-load", rows_null_after_load},
    Runner{"set-up-fills-rows", set_up_fills_rows},
    Runner{"rows-read-afresh", rows_read_afresh},
    Runner{"rows-unchanged", rows_unchanged},
    Runner{"whole-life-twice", whole_life_twice},
    Runner{"def-name-not-format", def_name_not_format},
    Runner{"threads-step-collide", threads_step_collide},
    Runner{"null-services", null_services},
    Runner{"get-body-null", get_body_null},
    Runner{"init-cleanup-twice", init_cleanup_twice},
    Runner{"handles-opaque", handles_opaque},
    Runner{"step-collide-no-heap", step_collide_no_heap},
    Runner{"step-collide-quiet", step_collide_quiet},
    Runner{"fp-environment", {}, fp_environment},
    Runner{"signals", {}, signals},
    Runner{"threads-left", {}, threads_left},
    Runner{"processes-left", {}, processes_left},
    Runner{"process-settings", {}, process_settings},
    Runner{"descriptors-left", {}, descriptors_left},
    Runner{"heap-balanced", {}, heap_balanced},
    Runner{"reload", {}, reload},
    Runner{"step-collide-no-syscalls", step_collide_no_syscalls},
};

constexpr bool runners_match_table() {
  std::size_t next = 0;
  for (const Check &check : checks) {
    if (check.stage != Stage::behaviour) {
      continue;
    }
    if (next == runners.size() || runners.at(next).name != check.name) {
      return false;
    }
    ++next;
  }
  return next == runners.size();
}
static_assert(runners_match_table(),
              "every behaviour check of the table needs its runner, in the table's order");
static_assert(runners.front().name == "load", "the load gate runs first");

// The child's result, on its channel.
void report(const Said &said) { sandbox::send_result(said.verdict, said.reason); }

Finding run_in_child(const Check &check, const Options &options) {
  const std::string name(check.name);
  const sandbox::Heard heard =
      sandbox::run_in_child(run_check_in_child, {name, options.plugin}, options.timeout_seconds);
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
  const Runner *runner = nullptr;
  for (const Runner &each : runners) {
    runner = args.size() == 2 && each.name == args[0] ? &each : runner;
  }
  if (runner == nullptr) {
    report(failed("no such check"));
    return 0;
  }
  tamrix_host::set_hook_listener(sandbox::send_progress);
  try {
    Host host(tamrix_host::World::standard());
    if (runner->run_loading != nullptr) {
      // A plug-in that changes the working directory must not lose the
      // checker its file.
      std::error_code error;
      const std::filesystem::path path = std::filesystem::absolute(args[1], error);
      report(runner->run_loading(error ? args[1] : path.string(), host));
      return 0;
    }
    tamrix_host::entering("loading the file");
    const Plugin plugin(args[1]);
    tamrix_host::entering(nullptr);
    report(runner->run(plugin, host));
    tamrix_host::entering("unloading the file");
  } catch (const tamrix_host::LoadError &error) {
    report(failed(error.what()));
  }
  return 0;
}

void note(const std::string &text) { sandbox::send_note(text); }

std::vector<Finding> run_battery(const Options &options,
                                 const std::function<void(const Finding &)> &each) {
  const FileReport file = check_file(options.plugin, options.strict);
  // A check left out by --only or --skip is neither run nor reported, but the
  // load gate runs, unreported, for any behaviour check that was chosen.
  const bool behaviour_chosen = std::any_of(checks.begin(), checks.end(), [&](const Check &check) {
    return check.stage == Stage::behaviour && made_here(check) && options.chosen(check.name);
  });
  std::vector<Finding> findings;
  const auto add = [&findings, &each](Finding finding) {
    findings.push_back(std::move(finding));
    if (each) {
      each(findings.back());
    }
  };
  // Nothing but `load` runs until the load gate has passed; why it did not
  // pass is every later check's reason to skip.
  std::string gate_closed = file.loadable ? "" : file.why_not_loadable;
  for (const Check &check : checks) {
    const bool gate = check.name == runners.front().name;
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
      finding = run_in_child(check, options);
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
  return findings;
}

}  // namespace plugin_check
