// One snapshot of everything the engine lets a host read of its world, as
// rows of one table: a field's name ("body arm: gravity mode") and its value
// as text. What a plug-in may change of the world is not in it: the forces it
// adds and the contacts it makes in the host's group, which the host empties.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tamrix_host.hpp"

namespace plugin_check {

struct WorldRow {
  std::string field;
  std::string value;
  // What a plug-in's own objects change while they live (the joints on a
  // host's body, the geometries in its space): theirs to change from init to
  // cleanup, so judged by what is left once the life is over.
  bool held_for_life = false;
};
using WorldSnapshot = std::vector<WorldRow>;

// The host's engine world, its space, its bodies and geometries by DEF name,
// and the engine's process-wide handlers. A body or geometry gone from the
// space is one row that says so, and is never read through its handle again.
WorldSnapshot snapshot_world(const tamrix_host::Host &host);

// Sets the settings the snapshot reads of the world, the host's bodies and
// geometries and the space to values other than the engine's defaults, as
// a host may: a plug-in that puts one to its default is then seen to change
// it. Bodies, geometries and joints stay where they are, in the world.
void turn_settings_over(const tamrix_host::Host &host);

// The bodies of a world nobody steps any more (kept by the Host after
// new_world()), forces included: any change is a plug-in acting on it.
WorldSnapshot snapshot_bodies(const std::vector<std::pair<std::string, void *>> &bodies);

// "<field> was <before>, now <after>" for each row that differs, joined with
// "; ", at most `most` of them; empty when the two agree. differences_in
// looks only at the rows held for life (`held`), or only at the others.
std::string differences(const WorldSnapshot &before, const WorldSnapshot &after,
                        std::size_t most = 3);
std::string differences_in(const WorldSnapshot &before, const WorldSnapshot &after, bool held);

// Empties the contact group a plug-in was given, as the host does after each
// step: lives of thousands of steps must find it emptied too, or the contacts
// outgrow the memory any host gives the group.
void empty_contact_group(tamrix_contact_group_handle group);

}  // namespace plugin_check
