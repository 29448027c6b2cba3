// What the behaviour checks share: the names they use, the stand-in services
// that only need to be told apart, and the note that tells the parent how far
// a check got. Each check registers itself beside its code (registry.hpp) and
// runs in a child process of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "registry.hpp"
#include "tamrix_host.hpp"

namespace plugin_check {

namespace hook = tamrix_host::hook;
using tamrix_host::differing_rows;
using tamrix_host::Host;
using tamrix_host::Plugin;
using tamrix_host::Services;
using tamrix_host::set_up;

// Tells the parent what the check has done to the plug-in, for the reason of
// a crash or a hang that follows; the last note counts.
void note(const std::string &text);

// ---- Stand-in services whose only job is to be told apart

// In an engine world a plug-in acts on what the lookups give it, so there the
// stand-ins give the world's own handles, found without allocating: they
// are called where the heap is counted.
struct EngineStubs {
  std::vector<std::pair<std::string, tamrix_body_handle>> bodies;
  std::vector<std::pair<std::string, tamrix_geom_handle>> geometries;
  tamrix_contact_group_handle group = nullptr;

  void fill(const Host &host) {
    for (const std::string &name : host.world().bodies) {
      bodies.emplace_back(name, host.body(name));
    }
    for (const std::string &name : host.world().geometries) {
      geometries.emplace_back(name, host.geometry(name));
    }
    group = host.contact_group();
  }

  template <typename Handle>
  static Handle find(const std::vector<std::pair<std::string, Handle>> &handles, const char *name) {
    for (const auto &[known, handle] : handles) {
      if (name != nullptr && std::strcmp(known.c_str(), name) == 0) {
        return handle;
      }
    }
    return nullptr;
  }
};
inline EngineStubs engine_stubs;

// Gives each stub a body of its own, so no two share an address.
inline std::atomic<int> stub_calls{0};
// Messages the stub printers were given.
inline std::atomic<long> console_calls{0};

template <int N>
tamrix_geom_handle geom_stub(const char *name) {
  stub_calls += N;
  return EngineStubs::find(engine_stubs.geometries, name);
}
template <int N>
tamrix_body_handle body_stub(const char *name) {
  stub_calls += N;
  return EngineStubs::find(engine_stubs.bodies, name);
}
template <int N>
tamrix_contact_group_handle contact_group_stub() {
  stub_calls += N;
  return engine_stubs.group;
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

// The life the process checks watch: set-up with the stand-ins, init, a
// lookup that finds and one that does not, `steps` steps each with a
// collide, and cleanup. Each call is made through `call(hook, args...)`,
// which looks at what it must before and after.
template <int N, typename Call>
void stub_life(const Host &host, int steps, Call &&call) {
  const Services services = stub_services<N>();
  call(hook::set_up, services.geom_lookup, services.body_lookup, services.contact_group,
       services.send, services.receive, services.console_printf, services.time);
  call(hook::init);
  call(hook::get_body, "arm");
  call(hook::get_body, "ghost");
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  for (int i = 0; i < steps; ++i) {
    call(hook::step);
    call(hook::collide, geometries[0], geometries[1]);
  }
  call(hook::cleanup);
}

}  // namespace plugin_check
