// What a plug-in reaches beyond what a physics plug-in plainly needs: the
// table of reach.def as lookups, and what a survey of one plug-in found, as
// the report's opening lines and the reach check's verdict.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_check {

enum class Category {
#define REACH_CATEGORY(id, name, words) id,
#include "observe/reach.def"
};

// The name --allow takes ("process-state") and the words a report uses.
std::string_view category_name(Category category);
std::string_view category_words(Category category);

// The category named `name` as --allow takes it, or none.
std::optional<Category> category_named(std::string_view name);

// Every category's name but quiet's, comma-separated, for a refusal.
std::string category_names();

// Where the table puts the function or variable `name`: the fortified twins
// and 64-bit names go by the name they stand for; a name the table does not
// list is unlisted, never quiet. The contract's own names are the host's
// services, quiet.
Category category_of(std::string_view name);

// Whether `name` is named as the engine's functions are: d and a capital
// (dBodyAddForce).
bool engine_function_name(std::string_view name);

// One thing a plug-in was seen to reach.
struct Reached {
  enum class How {
    imports,   // the loader binds it: the file's dynamic imports
    resolves,  // it looked the name up at run time (dlsym, GetProcAddress)
    opens,     // it loaded this library at run time (dlopen, LoadLibrary)
    calls,     // it called it, from its own code
    makes,     // it made this system call from its own code, not the C library's
  };
  How how = How::imports;
  std::string name;  // the function, variable or library
  std::string hook;  // for what it did at run time: the plug-in function it was in
  long count = 0;    // for calls, how many
};

struct Reach {
  std::vector<Reached> seen;
  // Why the run-time part is missing, when it is ("the plug-in did not load").
  std::string run_time_unseen;
};

// The file's imports that reach beyond the quiet list. `engine_plugin` says
// the plug-in acts on the host's engine, whose functions are then quiet.
std::vector<Reached> imported_reach(const std::vector<std::string> &imports, bool engine_plugin);

// What a survey child sends its parent, and the parent's reading of it:
// one entry per thing, safe for the channel's visible text.
std::string encode_run_time_reach(const std::vector<Reached> &seen);
std::vector<Reached> decode_run_time_reach(std::string_view text);

// The category of what was reached: a loaded library is dynamic loading, and
// so is a quiet name looked up.
Category category_of(const Reached &reached);

// The report's opening lines: the plug-in's whole reach by category, allowed
// or not; one line saying it reaches nothing beyond the quiet list otherwise.
std::vector<std::string> reach_manifest(const Reach &reach, const std::vector<Category> &allowed);

// What the reach check says of `reach`: empty when all of it is allowed;
// otherwise the calls seen, by hook and category, or the imports when no
// call was seen.
std::string unallowed_reach(const Reach &reach, const std::vector<Category> &allowed);

}  // namespace plugin_check
