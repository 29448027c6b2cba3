// The checks of the calls themselves: the load, whole lives, what getBody
// is given, and the hooks called in the orders a host may call them.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "engine/engine_snapshot.hpp"

namespace plugin_check {

Outcome loads(const Plugin & /*plugin*/, Host & /*host*/) { return passed(); }

const Registration loads_check{{
    .name = "load",
    .proves = "the file loads here and every one of the thirteen names resolves",
    .fix = "link in what the file needs and define all thirteen names",
    .group = Group::load,
    .gate = true,
    .run = loads,
}};

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
  seen(hook::set_up.name);
  host.init(plugin);  // time starts again at 0
  seen(hook::init.name);
  for (const char *name : {"arm", "ghost"}) {
    const bool found = host.get_body(plugin, name) != nullptr;
    seen("getBody(\"" + std::string(name) + "\") " + (found ? "found" : "null"));
  }
  for (int step = 0; step < 10; ++step) {
    // Each collide answer is in the record; the pairs come in the world's order.
    const std::size_t answered = host.collides().size();
    host.step(plugin);
    std::string event = hook::step.name;
    const std::vector<tamrix_host::CollideAnswer> answers = host.collides();
    for (std::size_t i = answered; i < answers.size(); ++i) {
      event += std::string(", ") + hook::collide.name + "(" + answers[i].first + ", " +
               answers[i].second + ") answered " + std::to_string(answers[i].answer);
    }
    seen(std::move(event));
  }
  host.cleanup(plugin);
  seen(hook::cleanup.name);
  return events;
}

}  // namespace

Outcome whole_life_twice(const Plugin &plugin, Host &host) {
  const std::vector<std::string> first = record_life(plugin, host);
  // An engine world replaced is kept, never stepped again: anything that
  // changes on one of its bodies was done through a handle kept from it.
  std::vector<std::pair<std::string, void *>> previous;
  if (host.engine_world() != nullptr) {
    for (const std::string &name : host.world().bodies) {
      previous.emplace_back(name, static_cast<void *>(host.body(name)));
    }
  }
  // A host that reloads its world: the same names, new handles, and the old
  // ones fault if the plug-in kept any.
  host.new_world();
  const WorldSnapshot kept = snapshot_bodies(previous);
  const std::vector<std::string> second = record_life(plugin, host);
  if (const std::string used = differences(kept, snapshot_bodies(previous)); !used.empty()) {
    return failed("in the second life a handle of the previous world was used: " + used +
                  "; a host that reloads its world frees the old one");
  }
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
  if (plugin.call(hook::get_body, "arm") != host.body("arm")) {
    return failed(
        "getBody(\"arm\") did not return the body the host's lookup gave for it in "
        "the world it has now");
  }
  if (plugin.call(hook::get_body, "ghost") != nullptr) {
    return failed("getBody(\"ghost\") returned a body where the host's lookup had none");
  }
  return passed();
}

const Registration whole_life_twice_check{{
    .name = "whole-life-twice",
    .proves = "two whole lives run without a crash or a hang and behave alike, and getBody returns "
              "the host's answer",
    .fix = "set everything up afresh in init, handles looked up again, and tear it all down in "
           "cleanup",
    .group = Group::contract,
    .run = whole_life_twice,
}};

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

Outcome def_name_not_format(const Plugin &plugin, Host & /*host*/) {
  Services services = Host::services();
  services.console_printf = &guarded_printf;
  set_up(plugin, services);
  std::array<char, hostile_name.size() + 1> name{};
  hostile_name.copy(name.data(), hostile_name.size());
  plugin.call(hook::get_body, name.data());
  if (name_used_as_format) {
    return failed("getBody passed the DEF name \"" + std::string(hostile_name) +
                  "\" to the console printer inside its format, where %n writes to memory");
  }
  return passed();
}

const Registration def_name_not_format_check{{
    .name = "def-name-not-format",
    .proves = "a DEF name never reaches the console printer as its format",
    .fix = "pass names as arguments, e.g. (\"...: %s\", name)",
    .group = Group::contract,
    .run = def_name_not_format,
}};

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

Outcome null_services(const Plugin &plugin, Host &host) {
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  for (std::size_t row = 0; row < tamrix_host::contract::row_count; ++row) {
    note("with row " + std::to_string(row + 1) + " (" + tamrix_host::contract::row_names.at(row) +
         ") null");
    set_up(plugin, with_row_null(Host::services(), row));
    plugin.call(hook::init);
    plugin.call(hook::get_body, "arm");
    plugin.call(hook::get_body, "ghost");
    plugin.call(hook::step);
    plugin.call(hook::collide, geometries[0], geometries[1]);
    plugin.call(hook::cleanup);
  }
  return passed();
}

const Registration null_services_check{{
    .name = "null-services",
    .proves = "the plug-in survives any one of the seven rows left null",
    .fix = "look at a row before calling it",
    .level = Level::warning,
    .group = Group::contract,
    .crash_context = " (a host may leave out any service)",
    .run = null_services,
}};

Outcome get_body_null(const Plugin &plugin, Host & /*host*/) {
  set_up(plugin, Host::services());
  plugin.call(hook::init);
  plugin.call(hook::get_body, nullptr);
  plugin.call(hook::cleanup);
  return passed();
}

const Registration get_body_null_check{{
    .name = "get-body-null",
    .proves = "getBody(NULL) does not crash",
    .fix = "return null from getBody for a null name",
    .level = Level::warning,
    .group = Group::contract,
    .crash_context = " (getBody was given a null name)",
    .run = get_body_null,
}};

namespace {

// Names no world of plugin-check's holds, but a host may hand over: any
// length, any bytes but the final zero.
const std::vector<std::pair<std::string, std::string>> &odd_names() {
  static const std::vector<std::pair<std::string, std::string>> names = {
      {"a name of 4096 bytes", std::string(4096, 'a')},
      {"a name of 300 bytes", std::string(300, 'b')},
      {"an empty name", ""},
      {"a name in UTF-8", "bra\xc3\xa7o-\xe6\x89\x8b"},
      {"a name of bytes that are no UTF-8",
       "\xff\xfe\x80"
       "arm"},
  };
  return names;
}

// getBody with `name` in a block of the heap that the "host" writes over
// and frees once the call returns, as a host's string of the moment is: a
// plug-in that keeps the address reads what is no longer the name.
tamrix_body_handle ask_with_a_copy(const Plugin &plugin, const std::string &name) {
  std::vector<char> copy(name.begin(), name.end());
  copy.push_back('\0');
  const tamrix_body_handle answer = plugin.call(hook::get_body, copy.data());
  std::fill(copy.begin(), copy.end(), '?');
  return answer;
}

}  // namespace

Outcome get_body_any_name(const Plugin &plugin, Host &host) {
  set_up(plugin, Host::services());
  plugin.call(hook::init);
  for (const auto &[what, name] : odd_names()) {
    note("getBody was given " + what);
    (void)ask_with_a_copy(plugin, name);
  }
  note("getBody was given names in one buffer, one after another");
  // What each name is, asked in a buffer of its own; then asked again in
  // one buffer the host writes each name into in turn, as a host that
  // reuses its string does. The answers must not follow the address.
  std::vector<std::string> names = host.world().bodies;
  names.emplace_back("ghost");
  // Every buffer of its own lives to the end, so no two share an address.
  std::vector<std::vector<char>> own;
  std::vector<tamrix_body_handle> answers;
  std::size_t longest = 0;
  for (const std::string &name : names) {
    own.emplace_back(name.begin(), name.end()).push_back('\0');
    answers.push_back(plugin.call(hook::get_body, own.back().data()));
    longest = std::max(longest, name.size());
  }
  std::vector<char> reused(longest + 1);
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::fill(reused.begin(), reused.end(), '\0');
      std::copy(names[i].begin(), names[i].end(), reused.begin());
      const tamrix_body_handle got = plugin.call(hook::get_body, reused.data());
      if (got != answers[i]) {
        plugin.call(hook::cleanup);
        const std::string before = names[(i + names.size() - 1) % names.size()];
        return failed("getBody(\"" + names[i] + "\") answered " + host.name_of(got) +
                      " where it answers " + host.name_of(answers[i]) +
                      " in a buffer of its own; the buffer had held \"" + before +
                      "\" in the call before");
      }
    }
  }
  plugin.call(hook::cleanup);
  return passed();
}

const Registration get_body_any_name_check{{
    .name = "get-body-any-name",
    .proves = "getBody survives names of any length and any bytes, and answers by what a name "
              "says, not by where the host keeps it",
    .fix = "a name is the host's only for the call: read it there, copy what you keep, and never "
           "into a buffer of fixed size",
    .group = Group::contract,
    .run = get_body_any_name,
}};

Outcome init_cleanup_twice(const Plugin &plugin, Host & /*host*/) {
  set_up(plugin, Host::services());
  plugin.call(hook::init);
  plugin.call(hook::init);
  plugin.call(hook::cleanup);
  plugin.call(hook::cleanup);
  return passed();
}

const Registration init_cleanup_twice_check{{
    .name = "init-cleanup-twice",
    .proves = "init twice or cleanup twice in a row does not crash",
    .fix = "make init and cleanup safe to call twice in a row",
    .level = Level::warning,
    .group = Group::contract,
    .crash_context = " (init and cleanup were each called twice in a row)",
    .run = init_cleanup_twice,
}};

Outcome handles_opaque(const Plugin &plugin, Host &host) {
  if (host.engine_world() != nullptr) {
    return skipped(
        "in an engine world the handles are the engine's own bodies, geometries and contact "
        "group, for the plug-in to act on through the engine");
  }
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

const Registration handles_opaque_check{{
    .name = "handles-opaque",
    .proves = "the plug-in never reads or writes through a body, geometry or contact-group handle",
    .fix = "only hand the host's handles back to it, never look behind one",
    .level = Level::warning,
    .group = Group::contract,
    .crash_context =
        " (the host's handles point into pages with no access rights: they are opaque)",
    .run = handles_opaque,
}};

}  // namespace plugin_check
