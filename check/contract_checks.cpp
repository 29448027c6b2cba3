// The checks of the contract itself: the rows, the calls, and what step and
// collide may do.
#include <algorithm>
#include <array>
#include <cstring>
#include <latch>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "behaviour.hpp"
#include "sandbox/console.hpp"
#include "sandbox/heap_count.hpp"

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

namespace {

// What one life did, one entry per call in order: the call, its answer, and
// the lookups and console messages the host saw during it.
std::vector<std::string> record_life(const Plugin &plugin, Host &host) {
  std::vector<std::string> events;
  std::size_t printed = host.console().size();
  std::size_t looked_up = host.body_lookups().size();
  const auto seen = [&](std::string event) {
    const std::vector<tamrix_host::ConsoleMessage> console = host.console();
    const std::vector<tamrix_host::BodyLookup> lookups = host.body_lookups();
    for (; looked_up < lookups.size(); ++looked_up) {
      event += ", looked up \"" + lookups[looked_up].name + '"';
    }
    for (; printed < console.size(); ++printed) {
      event += ", printed \"" + console[printed].text + '"';
    }
    events.push_back(std::move(event));
  };
  host.set_up(plugin);
  seen("physics_special_init");
  host.init(plugin);  // time starts again at 0
  seen("tamrix_physics_init");
  for (const char *name : {"arm", "ghost"}) {
    const bool found = host.get_body(plugin, name) != nullptr;
    seen("getBody(\"" + std::string(name) + "\") " + (found ? "found" : "null"));
  }
  for (int step = 0; step < 10; ++step) {
    // Each collide answer is in the record; the pairs come in the world's order.
    const std::size_t answered = host.collides().size();
    host.step(plugin);
    std::string event = "tamrix_physics_step";
    const std::vector<tamrix_host::CollideAnswer> answers = host.collides();
    for (std::size_t i = answered; i < answers.size(); ++i) {
      event += ", tamrix_physics_collide(" + answers[i].first + ", " + answers[i].second +
               ") answered " + std::to_string(answers[i].answer);
    }
    seen(std::move(event));
  }
  host.cleanup(plugin);
  seen("tamrix_physics_cleanup");
  return events;
}

}  // namespace

Said whole_life_twice(const Plugin &plugin, Host &host) {
  const std::vector<std::string> first = record_life(plugin, host);
  // A host that reloads its world: the same names, new handles, and the old
  // ones fault if the plug-in kept any.
  host.new_world();
  const std::vector<std::string> second = record_life(plugin, host);
  for (std::size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
    const auto event = [i](const std::vector<std::string> &life) {
      return i < life.size() ? life[i] : std::string("nothing");
    };
    if (event(first) != event(second)) {
      return failed("the second life did not behave as the first: call " + std::to_string(i + 1) +
                    " was " + event(first) + " in the first life, " + event(second) +
                    " in the second; a host may set up and run a plug-in again");
    }
  }
  if (call_hook("getBody", plugin.get_body, "arm") != host.body("arm")) {
    return failed(
        "getBody(\"arm\") did not return the body the host's lookup gave for it in "
        "the world it has now");
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
    // Released together, so the calls overlap even where starting a thread
    // takes longer than one thread's calls (a sanitizer, an emulator).
    std::latch start(thread_count);
    std::vector<std::jthread> threads;
    threads.reserve(thread_count);
    for (int t = 0; t < thread_count; ++t) {
      threads.emplace_back([&plugin, &geometries, &start, t] {
        start.arrive_and_wait();
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

namespace {

Services with_row_null(Services services, std::size_t row) {
  std::size_t each = 0;
  const auto null_in_turn = [&each, row](auto &member) {
    if (each++ == row) {
      member = nullptr;
    }
  };
#define PLUGIN_CHECK_NULL_ROW(name, member) null_in_turn(services.member);
  TAMRIX_CONTRACT_ROWS(PLUGIN_CHECK_NULL_ROW)
#undef PLUGIN_CHECK_NULL_ROW
  return services;
}

}  // namespace

Said null_services(const Plugin &plugin, Host &host) {
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  for (std::size_t row = 0; row < tamrix_host::contract::row_count; ++row) {
    note("with row " + std::to_string(row + 1) + " (" + tamrix_host::contract::row_names.at(row) +
         ") null");
    set_up(plugin, with_row_null(Host::services(), row));
    call_hook("tamrix_physics_init", plugin.init);
    call_hook("getBody", plugin.get_body, "arm");
    call_hook("getBody", plugin.get_body, "ghost");
    call_hook("tamrix_physics_step", plugin.step);
    call_hook("tamrix_physics_collide", plugin.collide, geometries[0], geometries[1]);
    call_hook("tamrix_physics_cleanup", plugin.cleanup);
  }
  return passed();
}

Said get_body_null(const Plugin &plugin, Host & /*host*/) {
  set_up(plugin, Host::services());
  call_hook("tamrix_physics_init", plugin.init);
  call_hook("getBody", plugin.get_body, nullptr);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  return passed();
}

Said handles_opaque(const Plugin &plugin, Host &host) {
  // Every handle the Host gives points into pages with no access rights, so
  // a look behind one is a crash, which the battery names with the hook.
  host.set_up(plugin);
  host.init(plugin);
  (void)host.get_body(plugin, "arm");
  for (int step = 0; step < 3; ++step) {
    host.step(plugin);
  }
  host.cleanup(plugin);
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

// Often enough that a fault of one call in 128, or in a few hundred, shows.
constexpr long measured_calls = 10000;
// Once a fault showed, enough further calls to count it by, and no more: a
// hook that prints at every call is slow to call 10,000 times on some systems.
constexpr long calls_after_fault = 1000;

struct Tally {
  const char *hook;
  long count = 0;       // what the measure counted over all calls
  long calls = 0;       // how many calls were made
  long first_call = 0;  // the call by which it was first seen to count anything; 0: none
};

// Runs step and then collide `measured_calls` times each, with services that
// neither allocate nor print themselves: start() before each hook's calls,
// probe() after each call until it first counts something (the count since
// start(), as far as it looked), stop() after the last.
template <typename Start, typename Probe, typename Stop>
std::array<Tally, 2> measure_step_collide(const Plugin &plugin, Host &host, Start start,
                                          Probe probe, Stop stop) {
  set_up(plugin, stub_services<3>());
  call_hook("tamrix_physics_init", plugin.init);
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  std::array<Tally, 2> tallies = {Tally{"tamrix_physics_step"}, Tally{"tamrix_physics_collide"}};
  for (Tally &tally : tallies) {
    const bool stepping = &tally == &tallies.front();
    tamrix_host::entering(tally.hook);
    start();
    for (long call = 1; call <= measured_calls &&
                        (tally.first_call == 0 || call <= tally.first_call + calls_after_fault);
         ++call) {
      tally.calls = call;
      if (stepping) {
        plugin.step();
      } else {
        plugin.collide(geometries[0], geometries[1]);
      }
      if (tally.first_call == 0 && probe() > 0) {
        tally.first_call = call;
      }
    }
    tally.count = stop();
  }
  tamrix_host::entering(nullptr);
  call_hook("tamrix_physics_cleanup", plugin.cleanup);
  return tallies;
}

// "tamrix_physics_step: 78 <what> in 10000 calls, first seen by call 128",
// for each hook that counted anything.
std::string tally_text(const std::array<Tally, 2> &tallies, const std::string &what) {
  std::string text;
  for (const Tally &tally : tallies) {
    if (tally.count > 0) {
      text += (text.empty() ? "" : "; ") + std::string(tally.hook) + ": " +
              std::to_string(tally.count) + " " + what + " in " + std::to_string(tally.calls) +
              " calls, first seen by call " + std::to_string(tally.first_call);
    }
  }
  return text;
}

}  // namespace

Said step_collide_no_heap(const Plugin &plugin, Host &host) {
  if (std::string why_not; !heap_counting_available(why_not)) {
    return {Verdict::skip, why_not};
  }
  const std::array<Tally, 2> tallies = measure_step_collide(
      plugin, host, [] { count_heap(true); }, [] { return heap_calls(); },
      [] {
        count_heap(false);
        return heap_calls();
      });
  if (std::string text = tally_text(tallies, "heap allocations"); !text.empty()) {
    return failed(text + "; the host calls these at every physics step, so they must not allocate");
  }
  return passed();
}

Said step_collide_quiet(const Plugin &plugin, Host &host) {
  if (!sandbox::capture_console()) {
    return {Verdict::skip, "cannot keep this process's standard output to look at it"};
  }
  long long bytes_before = 0;
  std::string moved_before;        // by set-up or init
  std::vector<long long> bytes;    // per hook
  std::vector<std::string> moved;  // per hook
  long calls = 0;
  const auto start = [&] {
    calls = 0;
    console_calls = 0;
    bytes_before = sandbox::console_bytes();
    if (bytes.empty()) {
      moved_before = sandbox::console_moved();
    }
  };
  // Messages are counted at every call; the file's size, which costs system
  // calls (slow ones, under some systems), at every 128th, and where the
  // standard descriptors lead, which costs more, at every 1024th. A
  // descriptor pointed elsewhere counts: what is written through it after
  // that reaches a file this check cannot see.
  const auto probe = [&bytes_before, &calls] {
    constexpr long file_every = 128;
    constexpr long descriptors_every = 1024;
    ++calls;
    long seen = console_calls;
    if (calls % file_every == 0) {
      seen += static_cast<long>(sandbox::console_bytes() - bytes_before);
    }
    if (calls % descriptors_every == 0 && !sandbox::console_moved().empty()) {
      ++seen;
    }
    return seen;
  };
  const auto stop = [&] {
    bytes.push_back(sandbox::console_bytes() - bytes_before);
    moved.push_back(sandbox::console_moved());
    return console_calls.exchange(0);
  };
  const std::array<Tally, 2> tallies = measure_step_collide(plugin, host, start, probe, stop);
  std::string text = tally_text(tallies, "messages to the host's console");
  std::array<Tally, 2> printed = tallies;
  for (std::size_t i = 0; i < printed.size(); ++i) {
    printed.at(i).count = static_cast<long>(bytes.at(i));
  }
  const auto add = [&text](const std::string &more) {
    text += (text.empty() || more.empty() ? "" : "; ") + more;
  };
  add(tally_text(printed, "bytes printed to standard output or error"));
  if (!moved_before.empty()) {
    add("physics_special_init or tamrix_physics_init pointed " + moved_before +
        " away from the host's");
  } else {
    for (std::size_t i = 0; i < tallies.size(); ++i) {
      if (!moved.at(i).empty() && (i == 0 || moved.at(0).empty())) {
        add(std::string(tallies.at(i).hook) + " pointed " + moved.at(i) + " away from the host's");
      }
    }
  }
  if (!text.empty()) {
    return failed(text + "; a hook run at every physics step must stay quiet");
  }
  return passed();
}

}  // namespace plugin_check
