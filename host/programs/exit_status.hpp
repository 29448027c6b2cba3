// The exit statuses of host-sim and plugin-check, which scripts and CI gate on.
#pragma once

namespace tamrix_host::exit_status {

inline constexpr int passed = 0;   // the run did what was asked, and nothing failed
inline constexpr int failed = 1;   // a check or an expectation failed, or the plug-in cannot load
inline constexpr int usage = 2;    // the command line (or a file it names) cannot be used
inline constexpr int crashed = 3;  // the plug-in crashed or ended the process in one of its calls

}  // namespace tamrix_host::exit_status
