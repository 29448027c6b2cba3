// What step and collide leave in the engine world for the host to step
// with: the host bodies' pushes and motion, and the contacts in the host's
// group. Read so that the same calls, made on one thread and then on many,
// can be held side by side.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "tamrix_host.hpp"

namespace plugin_check {

// One host body as the engine holds it.
struct BodyReading {
  std::string name;
  std::array<double, 3> position{};
  std::array<double, 4> orientation{};
  std::array<double, 3> linear{};
  std::array<double, 3> angular{};
  std::array<double, 3> force{};
  std::array<double, 3> torque{};
};

// One body, by the engine's handle, and its name as the reading gives it.
BodyReading read_body(void *handle, const std::string &name);
// Sets the body of `handle` where, and as, `reading` found a body, its
// pushes included.
void place_body(void *handle, const BodyReading &reading);
// The engine's random numbers (the quick solver's order) back to their start,
// so two worlds stepped one after the other draw the same ones.
void restart_random_numbers();

// Every host body still in the world, in the World's order.
std::vector<BodyReading> read_bodies(const tamrix_host::Host &host);
// Puts each body back where, and as, `bodies` found it, its pushes included,
// and the engine's random numbers (the quick solver's order) back to their
// start, so the next step of the world is the one a reading was taken before.
void put_back(const tamrix_host::Host &host, const std::vector<BodyReading> &bodies);

// "<hook> left body arm a force of (nan, 0, 0)" for the first body whose
// push the engine cannot step with; empty when every push is finite.
std::string pushes_not_finite(const std::vector<BodyReading> &bodies, const std::string &hook);

// How many of the two geometries have a body: the ends a contact of theirs
// may have.
int bodies_of(tamrix_geom_handle first, tamrix_geom_handle second);

// The joints on the host's bodies now, each body's count summed: a contact
// between two host bodies counts twice. Cheap, for a count before and after.
long joint_ends(const tamrix_host::Host &host);

// The contacts on the host's bodies, each once, named by content.
struct HeldContacts {
  long count = 0;
  // What each contact holds ("arm, floor at (0, 0, 0.5) ...") -> how many;
  // where the engine's own functions cannot be watched (a DLL calls the
  // engine's directly), only the bodies each joins.
  std::map<std::string, long> kinds;
  // The first contact made with a value the engine cannot step with, named;
  // empty when none.
  std::string not_finite;
};

// From now, contacts made in the host's group are read by what they hold
// (where the program can watch the engine's own function that makes them).
void watch_contacts(const tamrix_host::Host &host);
// The contacts on the host's bodies, other than `except`, and stops watching.
HeldContacts held_contacts(const tamrix_host::Host &host, const void *except);

// The first contact made since watch_contacts() with a value the engine
// cannot step with, named as HeldContacts names it, or empty; stops
// watching. Cheaper than held_contacts() where no more is wanted.
std::string contacts_not_finite(const tamrix_host::Host &host);

// A contact of the host's own in its group, on its first body, marked so it
// can be told from any made later in the same memory; null without a body.
const void *host_contact(const tamrix_host::Host &host);
// Whether that contact is still in the group and on its body.
bool host_contact_kept(const tamrix_host::Host &host, const void *contact);

}  // namespace plugin_check
