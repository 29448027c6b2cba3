// What the behaviour checks share: their verdict, the stand-in services
// that only need to be told apart, and the checks themselves, each run in a
// child process of its own by run_battery().
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "checks.hpp"
#include "tamrix_host.hpp"

namespace plugin_check {

using tamrix_host::call_hook;
using tamrix_host::differing_rows;
using tamrix_host::Host;
using tamrix_host::Plugin;
using tamrix_host::Services;

struct Said {
  Verdict verdict;
  std::string reason;
};

inline Said passed() { return {Verdict::pass, {}}; }
inline Said failed(std::string reason) { return {Verdict::fail, std::move(reason)}; }

// Tells the parent what the check has done to the plug-in, for the reason of
// a crash or a hang that follows; the last note counts.
void note(const std::string &text);

inline void set_up(const Plugin &plugin, const Services &services) {
  call_hook("physics_special_init", tamrix_host::install, plugin, services);
}

// ---- Stand-in services whose only job is to be told apart

// Gives each stub a body of its own, so no two share an address.
inline std::atomic<int> stub_calls{0};
// Messages the stub printers were given.
inline std::atomic<long> console_calls{0};

template <int N>
tamrix_geom_handle geom_stub(const char * /*name*/) {
  stub_calls += N;
  return nullptr;
}
template <int N>
tamrix_body_handle body_stub(const char * /*name*/) {
  stub_calls += N;
  return nullptr;
}
template <int N>
tamrix_contact_group_handle contact_group_stub() {
  stub_calls += N;
  return nullptr;
}
template <int N>
void send_stub(int /*channel*/, const void * /*data*/, std::size_t /*size*/) {
  stub_calls += N;
}
template <int N>
const void *receive_stub(int /*channel*/, std::size_t *size) {
  stub_calls += N;
  *size = 0;
  return nullptr;
}
template <int N>
void printf_stub(const char * /*format*/, ...) {
  stub_calls += N;
  ++console_calls;
}
template <int N>
double time_stub() {
  stub_calls += N;
  return 0.0;
}

template <int N>
Services stub_services() {
  return {&geom_stub<N>,    &body_stub<N>,   &contact_group_stub<N>, &send_stub<N>,
          &receive_stub<N>, &printf_stub<N>, &time_stub<N>};
}

// ---- The checks (contract_checks.cpp), by their names in the table

Said loads(const Plugin &plugin, Host &host);
Said rows_null_after_load(const Plugin &plugin, Host &host);
Said set_up_fills_rows(const Plugin &plugin, Host &host);
Said rows_read_afresh(const Plugin &plugin, Host &host);
Said rows_unchanged(const Plugin &plugin, Host &host);  // row_checks.cpp
Said whole_life_twice(const Plugin &plugin, Host &host);
Said def_name_not_format(const Plugin &plugin, Host &host);
Said threads_step_collide(const Plugin &plugin, Host &host);
Said null_services(const Plugin &plugin, Host &host);
Said get_body_null(const Plugin &plugin, Host &host);
Said init_cleanup_twice(const Plugin &plugin, Host &host);
Said handles_opaque(const Plugin &plugin, Host &host);
Said step_collide_no_heap(const Plugin &plugin, Host &host);
Said step_collide_quiet(const Plugin &plugin, Host &host);

// ---- The checks of the process around the plug-in (state_checks.cpp). Those
// that must see the process before load are given the path and load it
// themselves.

Said fp_environment(const std::string &path, Host &host);
Said signals(const std::string &path, Host &host);
Said threads_left(const std::string &path, Host &host);
Said processes_left(const std::string &path, Host &host);
Said process_settings(const std::string &path, Host &host);
Said descriptors_left(const std::string &path, Host &host);
Said heap_balanced(const std::string &path, Host &host);
Said reload(const std::string &path, Host &host);
Said step_collide_no_syscalls(const Plugin &plugin, Host &host);

}  // namespace plugin_check
