// A host that offers what the contract allows in more than one way: faults
// hide behind an input that never changes. Here the time service, which a
// host that has been up for months answers with a number far from 0, and
// the receive service, which lends messages of every kind.
#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "engine/engine_answers.hpp"
#include "engine/number_text.hpp"
#include "sandbox/fault_listener.hpp"

namespace plugin_check {
namespace {

// 200 days: well past 2^31 milliseconds (under 25 days) and past 2^24
// seconds, where a float stops telling whole seconds apart, so that neither
// an int of milliseconds nor a float of seconds holds the time or its steps.
constexpr double days_up = 200;
constexpr double late_start = days_up * 24 * 60 * 60;
constexpr long time_steps = 100;
// A push this many times the largest of the life from time 0 is no
// controller's answer to the same world; pushes under 1 N or N·m at time 0
// count as 1, so that a push that is all but none at 0 may still be small.
constexpr double wild_factor = 100;

struct Pushes {
  std::string not_finite;  // the first push the engine cannot step with; empty when none
  double force = 0;        // the largest component of any force, in N
  double torque = 0;       // of any torque, in N·m
};

double largest(const std::array<double, 3> &values) {
  double most = 0;
  for (const double value : values) {
    most = std::max(most, std::abs(value));
  }
  return most;
}

// One life, from `start`, with the time service starting at `seconds`:
// step by step, the pushes step left are read before the engine steps with
// them, as a host's engine would.
Pushes engine_life(const Plugin &plugin, Host &host, const std::vector<BodyReading> &start,
                   double seconds) {
  put_back(host, start);
  host.start_time_at(seconds);
  host.init(plugin);
  Pushes found;
  const std::string hook =
      "tamrix_physics_step, with the host's time starting at " + text(seconds) + " s,";
  for (long k = 0; k < time_steps && found.not_finite.empty(); ++k) {
    plugin.call(hook::step);
    const std::vector<BodyReading> bodies = read_bodies(host);
    found.not_finite = pushes_not_finite(bodies, hook);
    for (const BodyReading &body : bodies) {
      found.force = std::max(found.force, largest(body.force));
      found.torque = std::max(found.torque, largest(body.torque));
    }
    if (found.not_finite.empty()) {
      host.step_without_plugin();
      host.advance_time(host.world().step_seconds);
    }
  }
  host.cleanup(plugin);
  return found;
}

std::string wild(const char *what, const char *unit, double late, double early) {
  if (late <= wild_factor * std::max(early, 1.0)) {
    return {};
  }
  return "tamrix_physics_step, with the host's time starting at " + text(late_start) +
         " s, pushed a body with a " + what + " of " + text(late) + " " + unit +
         " where the same life from time 0 pushed at most " + text(early) + " " + unit;
}

// The channels a plug-in is likely to read: each offer is made on all.
constexpr int offered_channels = 4;
constexpr std::size_t long_message = std::size_t{64} * 1024;

// What the host offers before each step, in turn: a kind of message and its
// bytes, or no message at all. The host lends each in pages that end where
// a no-access page begins and become no-access at the next receive.
// Each kind of offer, as the note names it, and its messages.
using Offers = std::vector<std::pair<std::string, std::vector<std::string>>>;

Offers offers() {
  std::string letters(long_message, ' ');
  for (std::size_t i = 0; i < letters.size(); ++i) {
    letters[i] = static_cast<char>('a' + i % 26);
  }
  std::string binary;
  for (int i = 0; i < 256; ++i) {
    binary += static_cast<char>((i + 1) % 256);  // a 0 in the middle, none at the end
  }
  return {{"no message", {}},
          {"a short text, \"ping\", with no 0 byte after it", {"ping"}},
          {"a text of 64 KiB", {letters}},
          {"a binary message of 256 bytes, a 0 byte among them and none after", {binary}},
          {"a text holding %", {"load 100%: set %d, got %x"}},
          {"two messages at once", {"first", "second"}},
          {"no message", {}}};
}

// The first console message whose format holds a text the host sent, with
// its %, as "\"load 100%: ...\""; empty when none.
std::string printed_as_format(const Host &host, const Offers &sent) {
  for (const tamrix_host::ConsoleMessage &message : host.console()) {
    for (const auto &[what, messages] : sent) {
      for (const std::string &bytes : messages) {
        if (bytes.find('%') != std::string::npos &&
            message.format.find(bytes) != std::string::npos) {
          return "\"" + bytes + "\"";
        }
      }
    }
  }
  return {};
}

// What the crash's reason says before the fault is named: the last note.
const Host *lending_host = nullptr;
std::string offered_note;

// Adds what the plug-in did to the lent buffer, when it faulted on one.
void name_the_fault(const void *address) {
  if (const char *what = lending_host != nullptr ? lending_host->lent_at(address) : nullptr) {
    note(offered_note + "; it " + what);
  }
}

}  // namespace

// The messages go to every hook through the host's own services, so a
// plug-in meets them wherever it receives; what it does wrong with one
// faults where it does it, and the note names the message.
Outcome messages_of_every_kind(const Plugin &plugin, Host &host) {
  const Offers sent = offers();
  lending_host = &host;
  sandbox::listen_for_faults(&name_the_fault);
  host.set_up(plugin);
  host.init(plugin);
  const std::string channels = " on channels 0 to " + std::to_string(offered_channels - 1);
  std::string before = "nothing";
  for (const auto &[what, messages] : sent) {
    offered_note = "the host had offered ";
    offered_note.append(what).append(channels).append(", after ").append(before);
    note(offered_note.append(" at the step before"));
    before = what;
    for (int channel = 0; channel < offered_channels; ++channel) {
      for (const std::string &bytes : messages) {
        host.queue_message(channel, bytes);
      }
    }
    host.step(plugin);
  }
  note("the host had offered every kind of message");
  host.cleanup(plugin);
  if (std::string printed = printed_as_format(host, sent); !printed.empty()) {
    return failed("a hook printed the received message " + printed +
                  " as the console's format, where its % are read as conversions");
  }
  return passed();
}

const Registration messages_of_every_kind_check{{
    .name = "received-messages",
    .proves = "no message, a short one, 64 KiB, binary bytes and text holding % on the receive "
              "row are read within their size, while they are lent, and never freed or printed as "
              "a format",
    .fix = "read a received buffer within the size the host gives, copy what you keep before the "
           "next receive, never free it, and print it as an argument (\"%.*s\")",
    .group = Group::varied,
    .crash_context = " (the host lends each message up to a no-access page, until the next "
                     "receive, and not from the heap: a read past its size, a read after the next "
                     "receive and a free() of it each end here)",
    .run = messages_of_every_kind,
}};

// Without an engine the check has no pushes to read and only a crash, such
// as an integer division by a step the plug-in measured as 0, tells.
Outcome time_starts_large(const Plugin &plugin, Host &host) {
  host.set_up(plugin);
  if (host.engine_world() == nullptr) {
    note("the host's time started at " + text(late_start) + " s");
    host.start_time_at(late_start);
    host.init(plugin);
    for (long k = 0; k < time_steps; ++k) {
      host.step(plugin);
    }
    host.cleanup(plugin);
    return passed();
  }
  const std::vector<BodyReading> start = read_bodies(host);
  note("the host's time started at 0");
  const Pushes early = engine_life(plugin, host, start, 0);
  note("the host's time started at " + text(late_start) + " s");
  const Pushes late = engine_life(plugin, host, start, late_start);
  put_back(host, start);
  for (const Pushes *found : {&early, &late}) {
    if (!found->not_finite.empty()) {
      return failed(found->not_finite);
    }
  }
  if (std::string fault = wild("force", "N", late.force, early.force); !fault.empty()) {
    return failed(fault);
  }
  if (std::string fault = wild("torque", "N·m", late.torque, early.torque); !fault.empty()) {
    return failed(fault);
  }
  return passed();
}

const Registration time_starts_large_check{{
    .name = "time-starts-large",
    .proves = "a life whose time starts 200 days in, past an int of milliseconds and a float of "
              "seconds, neither crashes nor pushes the host's bodies with pushes that are not "
              "finite or far beyond those of the same life from time 0",
    .fix = "keep the host's time in a double, and take a step's length as the difference of two "
           "such readings, never 0",
    .group = Group::varied,
    .crash_context = " (the host's time had started 200 days in)",
    .run = time_starts_large,
}};

}  // namespace plugin_check
