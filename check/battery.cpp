// The battery: the file checks, then each behaviour check in a child process
// of its own, so whatever the plug-in does to its process, the report goes on.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string_view>

#include "behaviour.hpp"
#include "channel.hpp"
#include "file_checks.hpp"
#include "platform.hpp"
#include "plugin_check.hpp"

namespace plugin_check {
namespace {

// ---- The child's side: progress and result lines on its channel

std::string child_token;
const char *last_sent = nullptr;

// Called from one thread at a time (the threads check announces itself once),
// and never allocates, so it can run while the heap is being counted.
void send_progress(const char *hook) {
  if (hook == last_sent) {
    return;
  }
  last_sent = hook;
  std::array<char, channel::progress_line_size> line{};
  const std::size_t size = channel::encode_progress(child_token, hook, line);
  tamrix_host::platform::child_write({line.data(), size});
}

// The status a child ends with when the plug-in took its channel away; the
// parent names it, since no line can tell it any more.
constexpr int channel_lost_status = 86;

void send_result(const Outcome &outcome) {
  // A result written to whatever now stands where the channel was would be
  // lost, or read by someone else: say so by the exit status instead.
  if (!tamrix_host::platform::child_channel_intact()) {
    std::_Exit(channel_lost_status);
  }
  tamrix_host::platform::child_write(
      channel::encode_result(child_token, outcome.verdict, outcome.reason));
}

// ---- The parent's side

struct ChildReport {
  std::string hook;    // the plug-in function last entered and not left; empty if none
  std::string note;    // the check's last note
  bool heard = false;  // whether any line of the child's own arrived
  bool has_result = false;
  Verdict verdict = Verdict::fail;
  std::string reason;
  bool forged = false;
  std::string forged_in;  // the hook running when the first forged line came; empty if none
};

ChildReport read_report(const std::string &output, const std::string &token) {
  channel::Decoded decoded = channel::decode(output, token);
  ChildReport report;
  report.forged = decoded.forged;
  report.heard = !decoded.messages.empty();
  std::size_t read = 0;
  for (channel::Message &message : decoded.messages) {
    if (read++ == decoded.before_forged) {
      report.forged_in = report.hook;
    }
    switch (message.kind) {
      case channel::Kind::entering:
        report.hook = std::move(message.text);
        break;
      case channel::Kind::left:
        report.hook.clear();
        break;
      case channel::Kind::note:
        report.note = std::move(message.text);
        break;
      case channel::Kind::result:
        report.has_result = true;
        report.verdict = message.verdict;
        report.reason = std::move(message.text);
        break;
    }
  }
  if (decoded.before_forged == decoded.messages.size()) {
    report.forged_in = report.hook;
  }
  return report;
}

std::string seconds_text(double seconds) {
  std::ostringstream text;
  text << seconds << " s";
  return text.str();
}

// Why a child that sent no result the parent can take, or sent a forged one,
// failed: what the plug-in did, named by the hook it was in.
std::string why_no_result(const tamrix_host::platform::ChildOutcome &outcome,
                          const ChildReport &report, const Options &options) {
  const std::string doer = report.hook.empty() ? "the plug-in" : report.hook;
  const std::string where = (!report.hook.empty() ? " in " + report.hook
                             : report.heard       ? " outside any plug-in call"
                                                  : " before it reached the plug-in") +
                            (report.note.empty() ? "" : ", " + report.note);
  using End = tamrix_host::platform::ChildOutcome::End;
  switch (outcome.end) {
    case End::exited:
      if (report.forged) {
        const std::string forger = report.forged_in.empty() ? "the plug-in" : report.forged_in;
        return forger + " wrote a forged result to the checker's channel" +
               (report.has_result && outcome.exit_status == 0 ? ""
                : forger == doer
                    ? ", then ended the process with status " + std::to_string(outcome.exit_status)
                    : ", and " + doer + " ended the process with status " +
                          std::to_string(outcome.exit_status)) +
               "; only the checker may report a verdict";
      }
      if (!report.has_result && outcome.exit_status == channel_lost_status) {
        return doer +
               " closed or replaced the checker's channel (its descriptor no longer led to the "
               "checker), so the check could not report";
      }
      // exit() in a plug-in ends the host's process too: as bad as a crash.
      return (report.hook.empty() ? "the process ended outside any plug-in call"
                                  : report.hook + " ended the process") +
             " with status " + std::to_string(outcome.exit_status);
    case End::crashed:
      return "crashed" + where + ": " + outcome.cause;
    case End::timed_out:
      return "did not finish within " + seconds_text(options.timeout_seconds) + where +
             ", so it was stopped";
    case End::flooded:
      return doer + " wrote more than 1 MiB to the checker's channel, so it was stopped";
    case End::not_started:
      break;
  }
  return {};
}

Finding run_in_child(const Check &check, const Options &options) {
  const std::string name(check.name);
  const std::string token = channel::new_token();
  const tamrix_host::platform::ChildOutcome outcome = tamrix_host::platform::run_child(
      run_check_in_child, {name, options.plugin, token}, options.timeout_seconds);
  if (outcome.end == tamrix_host::platform::ChildOutcome::End::not_started) {
    return {name, Verdict::fail, "could not run the check: " + outcome.cause};
  }
  const ChildReport report = read_report(outcome.output, token);
  using End = tamrix_host::platform::ChildOutcome::End;
  if (outcome.end == End::exited && outcome.exit_status == 0 && report.has_result &&
      !report.forged) {
    return {name, judged(check, report.verdict, options.strict), report.reason};
  }
  return {name, judged(check, Verdict::fail, options.strict),
          why_no_result(outcome, report, options) + std::string(check.crash_context)};
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
  if (args.size() == 3) {
    child_token = args[2];
  }
  if (check == nullptr || check->stage != Stage::behaviour) {
    send_result(failed("no such check"));
    return 0;
  }
  tamrix_host::set_hook_listener(send_progress);
  try {
    Host host(tamrix_host::World::standard());
    if (check->run_loading != nullptr) {
      // A plug-in that changes the working directory must not lose the
      // checker its file.
      std::error_code error;
      const std::filesystem::path path = std::filesystem::absolute(args[1], error);
      send_result(check->run_loading(error ? args[1] : path.string(), host));
      return 0;
    }
    tamrix_host::entering("loading the file");
    const Plugin plugin(args[1]);
    tamrix_host::entering(nullptr);
    send_result(check->run(plugin, host));
    tamrix_host::entering("unloading the file");
  } catch (const tamrix_host::LoadError &error) {
    send_result(failed(error.what()));
  }
  return 0;
}

void note(const std::string &text) {
  tamrix_host::platform::child_write(channel::encode_note(child_token, text));
}

std::vector<Finding> run_battery(const Options &options,
                                 const std::function<void(const Finding &)> &each) {
  const FileReport file = check_file(options.plugin, options.strict);
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
