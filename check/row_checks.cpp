// The service table after set-up: plug-in code only reads it, whatever other
// code of the host's process stores there.
#include <array>
#include <string>
#include <vector>

#include "behaviour.hpp"

namespace plugin_check {
namespace {

// Step and collide run often enough that a row written once in 256 calls
// shows, and no more: each call is followed by a comparison of all seven rows.
constexpr long unchanged_calls = 300;

}  // namespace

Said rows_unchanged(const Plugin &plugin, Host &host) {
  set_up(plugin, stub_services<4>());
  // Before every call, other code replaces all seven rows, taking turns with
  // two tables: a hook that puts back what set-up gave it, or a wrapper of
  // its own, leaves something other than what was stored last.
  const std::array<Services, 2> replacements = {stub_services<5>(), stub_services<6>()};
  std::size_t turn = 0;
  std::string changed;
  const auto replaced_then = [&](const char *hook, long call, auto &&run) {
    const Services &stored = replacements.at(turn++ % replacements.size());
    plugin.write_rows(stored);
    run();
    if (changed.empty()) {
      if (std::string rows = differing_rows(plugin.rows(), stored); !rows.empty()) {
        changed = std::string(hook) + " changed " + rows +
                  (call > 0 ? " (in call " + std::to_string(call) + ")" : "");
      }
    }
  };
  replaced_then("tamrix_physics_init", 0, [&] { call_hook("tamrix_physics_init", plugin.init); });
  for (const char *name : {"arm", "ghost"}) {
    replaced_then("getBody", 0, [&] { call_hook("getBody", plugin.get_body, name); });
  }
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  tamrix_host::entering("tamrix_physics_step");
  for (long call = 1; call <= unchanged_calls && changed.empty(); ++call) {
    replaced_then("tamrix_physics_step", call, [&] { plugin.step(); });
  }
  tamrix_host::entering("tamrix_physics_collide");
  for (long call = 1; call <= unchanged_calls && changed.empty(); ++call) {
    replaced_then("tamrix_physics_collide", call,
                  [&] { plugin.collide(geometries[0], geometries[1]); });
  }
  tamrix_host::entering(nullptr);
  replaced_then("tamrix_physics_cleanup", 0,
                [&] { call_hook("tamrix_physics_cleanup", plugin.cleanup); });
  if (!changed.empty()) {
    return failed(changed +
                  ", where other code had stored something else; after physics_special_init "
                  "the plug-in may only read the service table");
  }
  return passed();
}

}  // namespace plugin_check
