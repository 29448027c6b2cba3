// The service table: null until set-up, filled by it, read afresh at every
// call and never written by the plug-in, whatever other code of the host's
// process stores there.
#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "behaviour/row_watch.hpp"

namespace plugin_check {

Outcome rows_null_after_load(const Plugin &plugin, Host & /*host*/) {
  if (std::string rows = differing_rows(plugin.rows(), Services{}); !rows.empty()) {
    return failed(rows + " already held a value after load");
  }
  return passed();
}

const Registration rows_null_after_load_check{{
    .name = "rows-null-after-load",
    .proves = "every service row reads null until physics_special_init",
    .fix = "leave every row null until physics_special_init fills it",
    .group = Group::rows,
    .run = rows_null_after_load,
}};

Outcome set_up_fills_rows(const Plugin &plugin, Host & /*host*/) {
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
      return failed("a later physics_special_init did not replace " + rows);
    }
  }
  return passed();
}

const Registration set_up_fills_rows_check{{
    .name = "set-up-fills-rows",
    .proves =
        "physics_special_init stores argument n in row n, all seven every call, nulls included",
    .fix = "store all seven arguments of physics_special_init on every call, nulls included",
    .group = Group::rows,
    .run = set_up_fills_rows,
}};

namespace {

std::atomic<int> replacement_lookups{0};
std::atomic<int> replacement_prints{0};

tamrix_body_handle replacement_lookup(const char * /*name*/) {
  ++replacement_lookups;
  return nullptr;
}
void replacement_printf(const char * /*format*/, ...) { ++replacement_prints; }

}  // namespace

Outcome rows_read_afresh(const Plugin &plugin, Host &host) {
  set_up(plugin, Host::services());
  // What other code in the host's process may do at any time.
  *plugin.body_lookup_row = &replacement_lookup;
  *plugin.console_printf_row = &replacement_printf;
  plugin.call(hook::init);
  plugin.call(hook::get_body, "ghost");
  plugin.call(hook::cleanup);
  if (!host.body_lookups().empty() || !host.console().empty()) {
    return failed(
        "after other code replaced rows 2 and 6, the plug-in still called the services that "
        "physics_special_init gave it");
  }
  if (replacement_lookups == 0) {
    return failed("getBody did not ask the body lookup in row 2 (dTamrixGetBodyFromDEFProc)");
  }
  return passed();
}

const Registration rows_read_afresh_check{{
    .name = "rows-read-afresh",
    .proves = "the plug-in calls each service through its row, never through a copy of its own",
    .fix = "call each service through its row every time, keeping no copy",
    .group = Group::rows,
    .crash_context = " (other code had replaced rows 2 and 6)",
    .run = rows_read_afresh,
}};

namespace {

// Step and collide run often enough that a row written once in 256 calls
// shows, and no more: each call is followed by a comparison of all seven rows.
constexpr long unchanged_calls = 300;

}  // namespace

Outcome rows_unchanged(const Plugin &plugin, Host &host) {
  set_up(plugin, stub_services<4>());
  // Before every call, other code replaces all seven rows, taking turns with
  // two tables: a hook that puts back what set-up gave it, or a wrapper of
  // its own, leaves something other than what was stored last.
  RowWatch watch(plugin, {stub_services<5>(), stub_services<6>()});
  const auto replaced_then = [&watch](const char *hook, long call, auto &&run) {
    watch.around(run, [hook, call](const std::string &rows) {
      return std::string(hook) + " changed " + rows +
             (call > 0 ? " (in call " + std::to_string(call) + ")" : "");
    });
  };
  replaced_then(hook::init.name, 0, [&] { plugin.call(hook::init); });
  for (const char *name : {"arm", "ghost"}) {
    replaced_then(hook::get_body.name, 0, [&] { plugin.call(hook::get_body, name); });
  }
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  {
    const tamrix_host::Running running(hook::step.name);
    for (long call = 1; call <= unchanged_calls && watch.changed().empty(); ++call) {
      replaced_then(hook::step.name, call, [&] { plugin.call(hook::step.unnamed()); });
    }
  }
  {
    const tamrix_host::Running running(hook::collide.name);
    for (long call = 1; call <= unchanged_calls && watch.changed().empty(); ++call) {
      replaced_then(hook::collide.name, call,
                    [&] { plugin.call(hook::collide.unnamed(), geometries[0], geometries[1]); });
    }
  }
  replaced_then(hook::cleanup.name, 0, [&] { plugin.call(hook::cleanup); });
  const std::string &changed = watch.changed();
  if (!changed.empty()) {
    return failed(changed + ", where other code had stored something else");
  }
  return passed();
}

const Registration rows_unchanged_check{{
    .name = "rows-unchanged",
    .proves = "no hook and no getBody call writes a service row: each holds what other code stored "
              "there last",
    .fix = "only read the service table after physics_special_init",
    .group = Group::rows,
    .run = rows_unchanged,
}};

}  // namespace plugin_check
