// Watching what a plug-in reaches at run time: the names it looks up, the
// libraries it loads and the calls its own code makes, counted by wrappers
// this program exports, so the plug-in binds to them first.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "observe/reach.hpp"

namespace plugin_check {

// Why this build cannot watch at all, or null where it can.
extern const char *const reach_unwatched;

// What a build that watches sees nothing of, or null where it sees all its
// wrappers stand for.
extern const char *const reach_partly_unwatched;

// Watches, from now on, what the code of the library that holds `inside`
// looks up, loads and calls. False, with the reason, where this build cannot
// watch or the library is not found.
bool watch_reach(const void *inside, std::string &why_not);

// The plug-in function the calling thread runs from now on (a string that
// outlives the watch), or null once it returned: what is seen is told by it.
// `returns_to` is where its call returns: a call from this program's code
// that returns there is the plug-in function's own tail call.
void reach_in_hook(const char *hook, const void *returns_to);

// Stops watching, and what was seen since watch_reach().
std::vector<Reached> reach_watched();

namespace reach_detail {

// Where a call from call_from_one_place() returns, learnt by a stand-in.
inline thread_local const void *learnt_return = nullptr;

template <typename Result, typename... Params>
Result learn_return(Params... /*params*/) {
  learnt_return = __builtin_return_address(0);
  return Result();
}

// Calls `function` from one place of its own, never as a tail call, so that
// whatever the function's own tail call reaches returns there.
template <typename Result, typename... Params>
[[gnu::noinline]] Result call_from_one_place(Result (*function)(Params...), Params... params) {
  if constexpr (std::is_void_v<Result>) {
    function(params...);
    asm volatile("" ::: "memory");
  } else {
    Result result = function(params...);
    asm volatile("" ::: "memory");
    return result;
  }
}

}  // namespace reach_detail

// Calls the plug-in's `function` as its function `hook`, watched: a plug-in
// function that ends in a call hands that call its own return address, so a
// call that returns where `function` would have is the plug-in's own.
template <typename Result, typename... Params, typename... Args>
Result call_watched(const char *hook, Result (*function)(Params...), Args... args) {
  reach_detail::call_from_one_place(&reach_detail::learn_return<Result, Params...>,
                                    static_cast<Params>(args)...);
  reach_in_hook(hook, reach_detail::learnt_return);
  if constexpr (std::is_void_v<Result>) {
    reach_detail::call_from_one_place(function, static_cast<Params>(args)...);
    reach_in_hook(nullptr, nullptr);
  } else {
    Result result = reach_detail::call_from_one_place(function, static_cast<Params>(args)...);
    reach_in_hook(nullptr, nullptr);
    return result;
  }
}

}  // namespace plugin_check
