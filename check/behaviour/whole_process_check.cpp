// The process compared whole over one life: every line of its own accounts,
// read before the load and after cleanup and the unload, so a setting no row
// of the table names is still seen, by the file and the line it changed, and
// the call from which it read so (the process is read after each call too).
//
// Which lines count is learnt, not listed. Counters by nature are never read
// (whole_process_linux.cpp); beyond those, the checker first lives two lives
// of an empty plug-in, the same stand-in calls with nothing loaded, and a
// line that differs across them moves by itself and is not compared. A line
// a row of the table words (a limit, the personality, a library left) is that
// row's check's to report, so it is said once, in the row's words; only what
// no row words fails here.
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/watched_life.hpp"
#include "observe/process_state.hpp"
#include "observe/whole_process.hpp"
#include "sandbox/console.hpp"

namespace plugin_check {
namespace {

constexpr int lived_steps = 3;
constexpr std::size_t lines_said = 3;

struct Look {
  WholeProcess whole;
  ProcessState table;
};

// The table's rows that may word a line: every aspect but the settings,
// whose environment may point into the library once it is unloaded (the
// umask, their one row that is a line too, is left out of the reading).
ProcessState table_now() {
  ProcessState state = snapshot(Aspect::process);
  for (const Aspect aspect : {Aspect::signals, Aspect::threads, Aspect::descriptors}) {
    ProcessState part = snapshot(aspect);
    for (std::size_t row = 0; row < state.values.size() && row < part.values.size(); ++row) {
      if (!state.values[row]) {
        state.values[row] = std::move(part.values[row]);
      }
    }
  }
  return state;
}

// The life of a plug-in whose hooks do nothing: the stand-ins made, the
// calls' arguments found and the process read after each call as for a
// real one, and no hook run.
void empty_life(const Host &host) {
  stub_life<8>(host, lived_steps,
               [](auto /*hook*/, auto... /*args*/) { static_cast<void>(whole_process()); });
}

std::optional<std::string> line_in(const WholeProcess &process, const LineChange &change) {
  for (const WholeFile &file : process.files) {
    if (file.name == change.file) {
      const auto line = file.lines.find(change.key);
      return line == file.lines.end() ? std::nullopt : std::optional(line->second);
    }
  }
  return std::nullopt;
}

// The call from which the line read as it does at the end. Only a plug-in
// kept loaded has a reading after its last moment, and a line that changed
// only then changed while its thread still ran.
std::string made_in(const std::vector<Moment<WholeProcess>> &moments, const LineChange &change) {
  const std::size_t from = held_since(
      moments, 0, [&](std::size_t i) { return line_in(moments[i].seen, change) == change.after; });
  return from < moments.size()
             ? moments[from].call
             : "the time after cleanup, while a thread of the plug-in's still ran";
}

using Noise = std::set<std::pair<std::string, std::string>>;

void learn(Noise &noise, const WholeProcess &before, const WholeProcess &after) {
  for (const LineChange &change : line_changes(before, after)) {
    noise.emplace(change.file, change.key);
  }
}

// Whether a row of the table that differs over the same span says `change`.
bool worded(const LineChange &change, const ProcessState &before, const ProcessState &after) {
  const WordedBy words = worded_by(change);
  for (const std::string_view row : words.rows) {
    const std::optional<std::string> was = before.value(row);
    const std::optional<std::string> is = after.value(row);
    if (was == is) {
      continue;
    }
    if (words.mentions.empty()) {
      return true;
    }
    for (const std::string &mention : words.mentions) {
      if ((was && was->find(mention) != std::string::npos) ||
          (is && is->find(mention) != std::string::npos)) {
        return true;
      }
    }
  }
  return false;
}

std::string said(const LineChange &change, const std::string &call) {
  if (change.before && change.after) {
    return change.file + ": \"" + *change.before + "\" became \"" + *change.after + "\" in " + call;
  }
  if (change.after) {
    return change.file + ": \"" + *change.after + "\" appeared in " + call;
  }
  return change.file + ": \"" + change.before.value_or("") + "\" went away in " + call;
}

const WholeFile *file_named(const WholeProcess &process, const std::string &name) {
  for (const WholeFile &file : process.files) {
    if (file.name == name) {
      return &file;
    }
  }
  return nullptr;
}

}  // namespace

Outcome whole_process_left(const std::string &path, Host &host) {
  sandbox::capture_console();
  fresh_standard_streams();
  Noise noise;
  const WholeProcess first = whole_process();
  empty_life(host);
  const WholeProcess second = whole_process();
  learn(noise, first, second);
  empty_life(host);
  const ProcessState table_before = table_now();
  const std::vector<Moment<WholeProcess>> moments = watched_life<8>(
      path, host, lived_steps, [] { return whole_process(); },
      [](const Plugin &plugin, auto hook, auto... args) { plugin.call(hook, args...); });
  const Look before{moments.front().seen, table_before};
  learn(noise, second, before.whole);
  // A plug-in kept loaded has its own mappings, no difference of this
  // check's; and its last moment is a call's, so the process is read again.
  const bool unloads = unloaded(moments);
  const WholeProcess whole_after = unloads ? moments.back().seen : whole_process();
  const Look after{whole_after, table_now()};

  std::vector<std::string> found;
  for (const LineChange &change : line_changes(before.whole, after.whole)) {
    const WholeFile *file = file_named(after.whole, change.file);
    const bool left_by_others = file != nullptr && file->shared && !change.after;
    const bool still_loaded = !unloads && !change.before && file != nullptr && file->mappings;
    if (!noise.contains({change.file, change.key}) && !left_by_others && !still_loaded &&
        !worded(change, before.table, after.table)) {
      found.push_back(said(change, made_in(moments, change)));
    }
  }
  if (found.empty()) {
    return passed();
  }
  std::string text = (unloads ? "after cleanup and unload, " : "after cleanup, ") + found.front();
  for (std::size_t i = 1; i < found.size() && i < lines_said; ++i) {
    text += "; " + found[i];
  }
  if (found.size() > lines_said) {
    text += "; and " + std::to_string(found.size() - lines_said) + " more";
  }
  return failed(text + "; no row of the table names it");
}

const Registration whole_process_left_check{{
    .name = "whole-process",
    .proves = "after cleanup and unload, every line of the process's own accounts reads as before "
              "the load: each thread's status, scheduling and stat, limits, personality, mounts, "
              "timers, each descriptor's flags, mappings with their permissions, System V IPC; "
              "lines that differ across two lives of an empty plug-in are not compared",
    .fix = "undo every change you make to the process (descriptor flags, mappings, IPC, "
           "prctl settings) before cleanup returns",
    .platforms = Platforms::linux_only,
    .group = Group::whole,
    .elsewhere = "Windows keeps no text accounts of a process's state to compare line by line",
    .run_loading = whole_process_left,
}};

}  // namespace plugin_check
