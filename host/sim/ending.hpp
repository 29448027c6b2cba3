// A plug-in that ends the process from inside a hook (exit, _exit,
// quick_exit) must not look like a run that finished: host-sim reports it as
// it reports a crash. One implementation per system family.
#pragma once

namespace tamrix_host {

// From now on, a plug-in that ends the process while `hook` (as entering()
// names it) runs makes "<program>: <hook> ended the process (status N)" on
// the standard error, and the process ends with status 3. `plugin_function`
// is any function of the loaded plug-in, which tells its code apart.
// `program` must outlive the process.
void report_endings(const char *program, const void *plugin_function);

}  // namespace tamrix_host
