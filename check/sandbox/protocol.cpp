#include "sandbox/protocol.hpp"

#include <array>
#include <sstream>

#include "sandbox/channel.hpp"

namespace plugin_check::sandbox {
namespace {

// The status a child ends with when the plug-in took its channel away; the
// parent names it, since no line can tell it any more.
constexpr int channel_lost_status = 86;

}  // namespace

void send_progress(const char *hook) {
  std::array<char, channel::progress_line_size> line{};
  const std::size_t size = channel::encode_progress(child_token(), hook, line);
  child_write({line.data(), size});
}

void send_note(std::string_view text) { child_write(channel::encode_note(child_token(), text)); }

void send_result(Verdict verdict, std::string_view reason) {
  // A result written to whatever now stands where the channel was would be
  // lost, or read by someone else: say so by the exit status instead.
  if (!child_channel_intact()) {
    end_child(channel_lost_status);
  }
  child_write(channel::encode_result(child_token(), verdict, reason));
}

namespace {

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

std::string why_forged(const ChildOutcome &outcome, const ChildReport &report,
                       const std::string &doer) {
  const std::string forger = report.forged_in.empty() ? "the plug-in" : report.forged_in;
  return forger + " wrote a forged result to the checker's channel" +
         (report.has_result && outcome.exit_status == 0 ? ""
          : forger == doer
              ? ", then ended the process with status " + std::to_string(outcome.exit_status)
              : ", and " + doer + " ended the process with status " +
                    std::to_string(outcome.exit_status)) +
         "; only the checker may report a verdict";
}

std::string why_exited(const ChildOutcome &outcome, const ChildReport &report,
                       const std::string &doer) {
  if (report.forged) {
    return why_forged(outcome, report, doer);
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
}

// Why a child that sent no result the parent can take, or sent a forged one,
// failed: what the plug-in did, named by the hook it was in.
std::string why_no_result(const ChildOutcome &outcome, const ChildReport &report,
                          double timeout_seconds, bool second_try) {
  const std::string doer = report.hook.empty() ? "the plug-in" : report.hook;
  const std::string where = (!report.hook.empty() ? " in " + report.hook
                             : report.heard       ? " outside any plug-in call"
                                                  : " before it reached the plug-in") +
                            (report.note.empty() ? "" : ", " + report.note);
  using End = ChildOutcome::End;
  switch (outcome.end) {
    case End::exited:
      return why_exited(outcome, report, doer);
    case End::crashed:
      return "crashed" + where + ": " + outcome.cause;
    case End::timed_out:
      return "did not finish within " + seconds_text(timeout_seconds) +
             (second_try ? ", twice," : "") + where + ", so it was stopped";
    case End::flooded:
      return doer + " wrote more than 1 MiB to the checker's channel, so it was stopped";
    case End::not_started:
      break;
  }
  return {};
}

}  // namespace

Heard run_in_child(ChildTask task, const std::vector<std::string> &args, double timeout_seconds,
                   bool second_try) {
  Heard heard;
  heard.outcome = run_child(task, args, timeout_seconds);
  const ChildOutcome &outcome = heard.outcome;
  if (outcome.end == ChildOutcome::End::not_started) {
    heard.reason = outcome.cause;
    return heard;
  }
  const ChildReport report = read_report(outcome.output, outcome.token);
  heard.hook = report.hook;
  if (outcome.end == ChildOutcome::End::exited && outcome.exit_status == 0 && report.has_result &&
      !report.forged) {
    heard.end = Heard::End::result;
    heard.verdict = report.verdict;
    heard.reason = report.reason;
    return heard;
  }
  heard.end = Heard::End::failed;
  heard.reason = why_no_result(outcome, report, timeout_seconds, second_try);
  // A fault the check had found before the process died (say, as the host
  // tore its world down through a handler in the unloaded plug-in) is named
  // too: the crash alone would hide what the plug-in changed.
  if (report.has_result && !report.forged && report.verdict == Verdict::fail &&
      !report.reason.empty()) {
    heard.reason += "; before that: " + report.reason;
  }
  return heard;
}

}  // namespace plugin_check::sandbox
