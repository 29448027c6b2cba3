// The checks of the contract itself: the rows, the calls, and what step and
// collide may do.
#include <array>
#include <cstring>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "behaviour.hpp"
#include "heap_count.hpp"
#include "platform.hpp"

namespace plugin_check {

// ---- The checks

Said loads(const Plugin & /*plugin*/, Host & /*host*/) { return passed(); }

Said rows_null_after_load(const Plugin &plugin, Host & /*host*/) {
  if (std::string rows = differing_rows(plugin.rows(), Services{}); !rows.empty()) {
    return failed(rows + " already held a value after load; every row must read null until " +
                  "physics_special_init fills it");
  }
  return passed();
}

Said set_up_fills_rows(const Plugin &plugin, Host & /*host*/) {
  const Services first = stub_services<1>();
  set_up(plugin, first);
  if (std::string rows = differing_rows(plugin.rows(), first); !rows.empty()) {
    return failed("after physics_special_init, " + rows +
                  " did not hold the argument of the same position");
  }
  // New pointers in some rows and nulls in the others, then nulls in all.
  const Services second = {&geom_stub<2>,    nullptr, &contact_group_stub<2>, nullptr,
                           &receive_stub<2>, nullptr, &time_stub<2>};
  for (const Services &next : {second, Services{}}) {
    set_up(plugin, next);
    if (std::string rows = differing_rows(plugin.rows(), next); !rows.empty()) {
      return failed("a later physics_special_init did not replace " + rows +
                    "; every call must store all seven arguments, nulls included");
    }
  }
  return passed();
}

namespace {

std::atomic<int> replacement_lookups{0};
std::atomic<int> replacement_prints{0};

tamrix_body_handle replacement_lookup(const char * /*name*/) {
  ++replacement_lookups;
  return nullptr;
}
void replacement_printf(const char * /*format*/, ...) { ++replacement_prints; }

}  // namespace

Said rows_read_afresh(const Plugin &plugin, Host &host) {
  set_up(plugin, Host::services());
  // What other code in the host's process may do at any time.
  *plugin.body_lookup_row = &replacement_lookup;
  *plugin.console_printf_row = &replacement_printf;
  call_hook("tamrix_physics_init", plugin.init);
  call_hook("getBody", plugin.get_body, "ghost");
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  if (!host.body_lookups().empty() || !host.console().empty()) {
    return failed(
        "after other code replaced rows 2 and 6, the plug-in still called the services that "
        "physics_special_init gave it; it must call through the row every time, keeping no copy");
  }
  if (replacement_lookups == 0) {
    return failed("getBody did not ask the body lookup in row 2 (dTamrixGetBodyFromDEFProc)");
  }
  return passed();
}

Said whole_life_twice(const Plugin &plugin, Host &host) {
  std::ostringstream sink;
  for (int life = 0; life < 2; ++life) {
    tamrix_host::run_life(plugin, host, 10, {"arm", "ghost"}, sink);
  }
  if (call_hook("getBody", plugin.get_body, "arm") != host.body("arm")) {
    return failed("getBody(\"arm\") did not return the body the host's lookup gave for it");
  }
  if (call_hook("getBody", plugin.get_body, "ghost") != nullptr) {
    return failed("getBody(\"ghost\") returned a body where the host's lookup had none");
  }
  return passed();
}

namespace {

// Conversions that read and write memory if ever used as a format.
constexpr std::string_view hostile_name = "%n%s%p%x%n-ghost";
std::atomic<bool> name_used_as_format{false};

// Looks only at what it is given and never formats: %n must never run.
void guarded_printf(const char *format, ...) {
  if (format != nullptr && std::strstr(format, hostile_name.data()) != nullptr) {
    name_used_as_format = true;
  }
}

}  // namespace

Said def_name_not_format(const Plugin &plugin, Host & /*host*/) {
  Services services = Host::services();
  services.console_printf = &guarded_printf;
  set_up(plugin, services);
  std::array<char, hostile_name.size() + 1> name{};
  hostile_name.copy(name.data(), hostile_name.size());
  call_hook("getBody", plugin.get_body, name.data());
  if (name_used_as_format) {
    return failed("getBody passed the DEF name \"" + std::string(hostile_name) +
                  "\" to the console printer inside its format, where %n writes to memory; "
                  "pass names as arguments, e.g. (\"...: %s\", name)");
  }
  return passed();
}

namespace {

constexpr int thread_count = 8;
constexpr int calls_per_thread = 2000;

}  // namespace

Said threads_step_collide(const Plugin &plugin, Host &host) {
  set_up(plugin, Host::services());
  call_hook("tamrix_physics_init", plugin.init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  tamrix_host::entering("tamrix_physics_step and tamrix_physics_collide from 8 threads");
  {
    std::vector<std::jthread> threads;
    threads.reserve(thread_count);
    for (int t = 0; t < thread_count; ++t) {
      threads.emplace_back([&plugin, &geometries, t] {
        for (int i = 0; i < calls_per_thread; ++i) {
          plugin.step();
          const auto first = static_cast<std::size_t>(i + t) % geometries.size();
          plugin.collide(geometries[first], geometries[(first + 1) % geometries.size()]);
        }
      });
    }
  }
  tamrix_host::entering(nullptr);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  return passed();
}

Said null_services(const Plugin &plugin, Host &host) {
  Services services = Host::services();
  services.body_lookup = nullptr;
  services.console_printf = nullptr;
  set_up(plugin, services);
  call_hook("tamrix_physics_init", plugin.init);
  call_hook("getBody", plugin.get_body, "arm");
  call_hook("getBody", plugin.get_body, "ghost");
  call_hook("tamrix_physics_step", plugin.step);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  call_hook("tamrix_physics_collide", plugin.collide, geometries[0], geometries[1]);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  return passed();
}

Said get_body_null(const Plugin &plugin, Host & /*host*/) {
  set_up(plugin, Host::services());
  call_hook("tamrix_physics_init", plugin.init);
  call_hook("getBody", plugin.get_body, nullptr);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  return passed();
}

Said init_cleanup_twice(const Plugin &plugin, Host & /*host*/) {
  set_up(plugin, Host::services());
  call_hook("tamrix_physics_init", plugin.init);
  call_hook("tamrix_physics_init", plugin.init);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  return passed();
}

namespace {

constexpr int measured_calls = 100;

struct PerHook {
  long step = 0;
  long collide = 0;
};

// Runs step and then collide `measured_calls` times each, between start() and
// stop(), with services that neither allocate nor print themselves.
template <typename Start, typename Stop>
PerHook measure_step_collide(const Plugin &plugin, Host &host, Start start, Stop stop) {
  set_up(plugin, stub_services<3>());
  call_hook("tamrix_physics_init", plugin.init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  PerHook counts;
  tamrix_host::entering("tamrix_physics_step");
  start();
  for (int i = 0; i < measured_calls; ++i) {
    plugin.step();
  }
  counts.step = stop();
  tamrix_host::entering("tamrix_physics_collide");
  start();
  for (int i = 0; i < measured_calls; ++i) {
    plugin.collide(geometries[0], geometries[1]);
  }
  counts.collide = stop();
  tamrix_host::entering(nullptr);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  return counts;
}

std::string per_hook_text(const PerHook &counts, const char *what) {
  std::string text;
  for (const auto &[hook, count] : {std::pair{"tamrix_physics_step", counts.step},
                                    std::pair{"tamrix_physics_collide", counts.collide}}) {
    if (count > 0) {
      text += (text.empty() ? "" : "; ") + std::string(hook) + ": " + std::to_string(count) + " " +
              what + " in " + std::to_string(measured_calls) + " calls";
    }
  }
  return text;
}

}  // namespace

Said step_collide_no_heap(const Plugin &plugin, Host &host) {
  if (std::string why_not; !heap_counting_available(why_not)) {
    return {Verdict::skip, why_not};
  }
  const PerHook counts = measure_step_collide(
      plugin, host, [] { count_heap(true); },
      [] {
        count_heap(false);
        return heap_calls();
      });
  if (counts.step > 0 || counts.collide > 0) {
    return failed(per_hook_text(counts, "heap allocations") +
                  "; the host calls these at every physics step, so they must not allocate");
  }
  return passed();
}

Said step_collide_quiet(const Plugin &plugin, Host &host) {
  namespace platform = tamrix_host::platform;
  if (!platform::capture_console()) {
    return {Verdict::skip, "cannot keep this process's standard output to look at it"};
  }
  long long bytes_before = 0;
  std::vector<long long> bytes;  // written in step's calls, then in collide's
  const PerHook calls = measure_step_collide(
      plugin, host,
      [&bytes_before] {
        console_calls = 0;
        bytes_before = platform::console_bytes();
      },
      [&bytes, &bytes_before] {
        bytes.push_back(platform::console_bytes() - bytes_before);
        return console_calls.exchange(0);
      });
  const PerHook written = {static_cast<long>(bytes.at(0)), static_cast<long>(bytes.at(1))};
  std::string text = per_hook_text(calls, "messages to the host's console");
  if (std::string printed = per_hook_text(written, "bytes printed to standard output or error");
      !printed.empty()) {
    text += (text.empty() ? "" : "; ") + printed;
  }
  if (!text.empty()) {
    return failed(text + "; a hook run at every physics step must stay quiet");
  }
  return passed();
}

}  // namespace plugin_check
