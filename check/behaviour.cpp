// The behaviour checks. Each runs in a child process of its own (see
// run_battery), so whatever the plug-in does to its process, the report goes on.
#include <array>
#include <atomic>
#include <cstring>
#include <sstream>
#include <string_view>
#include <thread>

#include "heap_count.hpp"
#include "platform.hpp"
#include "plugin_check.hpp"
#include "tamrix_host.hpp"

namespace plugin_check {
namespace {

using tamrix_host::call_hook;
using tamrix_host::differing_rows;
using tamrix_host::Host;
using tamrix_host::Plugin;
using tamrix_host::Services;

struct Said {
  Verdict verdict;
  std::string reason;
};

Said passed() { return {Verdict::pass, {}}; }
Said failed(std::string reason) { return {Verdict::fail, std::move(reason)}; }

// ---- Stand-in services whose only job is to be told apart

std::atomic<int> stub_calls{0};  // gives each stub a body of its own, so no two share an address
std::atomic<long> console_calls{0};

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

void set_up(const Plugin &plugin, const Services &services) {
  call_hook("physics_special_init", tamrix_host::install, plugin, services);
}

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

std::atomic<int> replacement_lookups{0};
std::atomic<int> replacement_prints{0};

tamrix_body_handle replacement_lookup(const char * /*name*/) {
  ++replacement_lookups;
  return nullptr;
}
void replacement_printf(const char * /*format*/, ...) { ++replacement_prints; }

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

// Conversions that read and write memory if ever used as a format.
constexpr std::string_view hostile_name = "%n%s%p%x%n-ghost";
std::atomic<bool> name_used_as_format{false};

// Looks only at what it is given and never formats: %n must never run.
void guarded_printf(const char *format, ...) {
  if (format != nullptr && std::strstr(format, hostile_name.data()) != nullptr) {
    name_used_as_format = true;
  }
}

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

constexpr int thread_count = 8;
constexpr int calls_per_thread = 2000;

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
    return failed(per_hook_text(counts, "malloc, calloc or realloc calls") +
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

struct BehaviourCheck {
  const char *name;
  bool strict_only;
  Said (*run)(const Plugin &plugin, Host &host);
  const char *crash_context;  // what the check did to the plug-in, for a crash or a hang
};

constexpr std::array<BehaviourCheck, 12> behaviour_checks = {{
    {"load", false, loads, ""},
    {"rows-null-after-load", false, rows_null_after_load, ""},
    {"set-up-fills-rows", false, set_up_fills_rows, ""},
    {"rows-read-afresh", false, rows_read_afresh, " (other code had replaced rows 2 and 6)"},
    {"whole-life-twice", false, whole_life_twice, ""},
    {"def-name-not-format", false, def_name_not_format, ""},
    {"threads-step-collide", false, threads_step_collide, ""},
    {"null-services", true, null_services,
     " (rows 2 and 6 were null: a host may leave out any service, so look at a row before "
     "calling it)"},
    {"get-body-null", true, get_body_null, " (getBody was given a null name)"},
    {"init-cleanup-twice", true, init_cleanup_twice,
     " (init and cleanup were each called twice in a row)"},
    {"step-collide-no-heap", true, step_collide_no_heap, ""},
    {"step-collide-quiet", true, step_collide_quiet, ""},
}};

// ---- The child's side: progress and result lines on its channel

const char *last_sent = nullptr;

// Called from one thread at a time (the threads check announces itself once),
// and never allocates, so it can run while the heap is being counted.
void send_progress(const char *hook) {
  if (hook == last_sent) {
    return;
  }
  last_sent = hook;
  std::array<char, 256> line{};
  const std::string_view word = hook != nullptr ? "entering " : "left";
  const std::string_view name = hook != nullptr ? hook : "";
  const std::size_t size = std::min(name.size(), line.size() - word.size() - 1);
  word.copy(line.data(), word.size());
  name.copy(line.data() + word.size(), size);
  line[word.size() + size] = '\n';
  tamrix_host::platform::child_write({line.data(), word.size() + size + 1});
}

void send_result(const Said &said) {
  std::string line = said.verdict == Verdict::pass   ? "result pass "
                     : said.verdict == Verdict::skip ? "result skip "
                                                     : "result fail ";
  for (const char c : said.reason) {
    line += c == '\n' ? ' ' : c;
  }
  tamrix_host::platform::child_write(line + '\n');
}

const BehaviourCheck *find_check(const std::string &name) {
  for (const BehaviourCheck &check : behaviour_checks) {
    if (name == check.name) {
      return &check;
    }
  }
  return nullptr;
}

// ---- The parent's side

struct ChildReport {
  std::string hook;  // the plug-in function last entered and not left; empty if none
  bool has_result = false;
  Verdict verdict = Verdict::fail;
  std::string reason;
};

ChildReport read_report(const std::string &output) {
  ChildReport report;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("entering ", 0) == 0) {
      report.hook = line.substr(9);
    } else if (line == "left") {
      report.hook.clear();
    } else if (line.rfind("result ", 0) == 0 && line.size() >= 11) {
      report.has_result = true;
      const std::string word = line.substr(7, 4);
      report.verdict = word == "pass"   ? Verdict::pass
                       : word == "skip" ? Verdict::skip
                                        : Verdict::fail;
      report.reason = line.size() > 12 ? line.substr(12) : "";
    }
  }
  return report;
}

std::string seconds_text(double seconds) {
  std::ostringstream text;
  text << seconds << " s";
  return text.str();
}

Finding run_in_child(const BehaviourCheck &check, const Options &options) {
  const tamrix_host::platform::ChildOutcome outcome = tamrix_host::platform::run_child(
      run_check_in_child, {check.name, options.plugin}, options.timeout_seconds);
  const ChildReport report = read_report(outcome.output);
  const Verdict bad = check.strict_only && !options.strict ? Verdict::warn : Verdict::fail;
  const std::string where =
      report.hook.empty() ? " outside any plug-in call" : " in " + report.hook;
  using End = tamrix_host::platform::ChildOutcome::End;
  switch (outcome.end) {
    case End::exited:
      if (report.has_result && outcome.exit_status == 0) {
        return {check.name, report.verdict == Verdict::fail ? bad : report.verdict, report.reason};
      }
      // exit() in a plug-in ends the host's process too: as bad as a crash.
      return {check.name, bad,
              (report.hook.empty() ? "the process ended outside any plug-in call"
                                   : report.hook + " ended the process") +
                  " with status " + std::to_string(outcome.exit_status) + check.crash_context};
    case End::crashed:
      return {check.name, bad, "crashed" + where + ": " + outcome.cause + check.crash_context};
    case End::timed_out:
      return {check.name, bad,
              "did not finish within " + seconds_text(options.timeout_seconds) + where +
                  ", so it was stopped" + check.crash_context};
    case End::not_started:
      break;
  }
  return {check.name, Verdict::fail, "could not run the check: " + outcome.cause};
}

}  // namespace

int run_check_in_child(const std::vector<std::string> &args) {
  const BehaviourCheck *check = args.size() == 2 ? find_check(args[0]) : nullptr;
  if (check == nullptr) {
    send_result(failed("no such check"));
    return 0;
  }
  tamrix_host::set_hook_listener(send_progress);
  try {
    Host host(tamrix_host::World::standard());
    tamrix_host::entering("loading the file");
    const Plugin plugin(args[1]);
    tamrix_host::entering(nullptr);
    send_result(check->run(plugin, host));
    tamrix_host::entering("unloading the file");
  } catch (const tamrix_host::LoadError &error) {
    send_result(failed(error.what()));
  }
  return 0;
}

std::vector<Finding> run_battery(const Options &options) {
  std::vector<Finding> findings = check_file(options.plugin, options.strict);
  // A file for another machine or no library at all is never handed to the
  // loader: its failure is already said, once.
  const bool foreign = !findings.empty() && findings.front().verdict == Verdict::fail;
  bool loaded = false;
  for (const BehaviourCheck &check : behaviour_checks) {
    if (foreign || (&check != behaviour_checks.data() && !loaded)) {
      findings.push_back({check.name, Verdict::skip,
                          foreign ? "the file is not a plug-in for this platform"
                                  : "the plug-in could not be loaded"});
      continue;
    }
    findings.push_back(run_in_child(check, options));
    loaded = loaded || findings.back().verdict == Verdict::pass;
  }
  return findings;
}

}  // namespace plugin_check
