// The reach check: what the plug-in reaches beyond what a physics plug-in
// plainly needs, by the one table of observe/reach.def. The file's imports are
// read in the parent; what the plug-in looks up, loads and calls is watched in
// a child of its own, through a life like the other checks'. The report opens
// with the whole of it, allowed or not.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "inspect/plugin_file.hpp"
#include "observe/reach.hpp"
#include "observe/reach_watch.hpp"
#include "sandbox/raw_calls.hpp"

namespace plugin_check {
namespace {

// In the child: a life like the process checks', watched. Its reason carries
// what was seen to the parent. The system calls the plug-in's own code makes
// are seen where the system hands them over; elsewhere only those made
// through the C library's syscall().
Outcome reach_life(const Plugin &plugin, Host &host) {
  std::string why_not;
  if (!watch_reach(plugin.address(hook::init), why_not)) {
    return skipped(why_not);
  }
  std::string raw_why_not;
  const bool raw = watch_raw_calls(plugin.address(hook::init), raw_why_not);
  stub_life<13>(host, 4, [&plugin](auto hook, auto... args) {
    const tamrix_host::Running running(hook.name);
    call_watched(hook.name, plugin.*decltype(hook)::function, args...);
  });
  std::vector<Reached> seen = reach_watched();
  if (raw) {
    for (RawCall &call : raw_calls_seen()) {
      seen.push_back({Reached::How::makes, std::move(call.name), std::move(call.hook), call.count});
    }
  }
  return {Verdict::pass, encode_run_time_reach(seen)};
}

// What the engine's functions are to an engine plug-in: quiet, whether bound
// at load or looked up.
bool engines(const PluginFile &file, const Reached &reached) {
  return file.engine && reached.how != Reached::How::opens && engine_function_name(reached.name);
}

Survey reach_survey(const PluginFile &file, const Outcome &child,
                    const std::vector<std::string> &allowed_names) {
  std::vector<Category> allowed;
  for (const std::string &name : allowed_names) {
    if (const std::optional<Category> category = category_named(name)) {
      allowed.push_back(*category);
    }
  }
  Reach reach;
  reach.seen = imported_reach(file.imports, file.engine);
  if (child.verdict == Verdict::pass) {
    for (Reached &reached : decode_run_time_reach(child.reason)) {
      if (category_of(reached) != Category::quiet && !engines(file, reached)) {
        reach.seen.push_back(std::move(reached));
      }
    }
    reach.run_time_unseen = reach_partly_unwatched != nullptr ? reach_partly_unwatched : "";
  } else {
    reach.run_time_unseen = reach_unwatched != nullptr ? reach_unwatched : child.reason;
  }
  Survey survey{reach_manifest(reach, allowed), passed()};
  if (std::string text = unallowed_reach(reach, allowed); !text.empty()) {
    survey.outcome = failed(std::move(text));
  }
  return survey;
}

const Registration reach_check{{
    .name = "reach",
    .proves = "the plug-in reaches nothing beyond what a physics plug-in plainly needs, or only "
              "what --allow allows",
    .fix = "remove the call, or allow its category with --allow",
    .level = Level::warning,
    .group = Group::reach,
    // Where nothing can be watched, the file's imports are judged alone, and
    // no child is started for nothing.
    .run = reach_unwatched == nullptr ? reach_life : nullptr,
    .survey = reach_survey,
}};

}  // namespace
}  // namespace plugin_check
