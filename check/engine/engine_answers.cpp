#include "engine/engine_answers.hpp"

#include <ode/ode.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/contact_watch.hpp"
#include "engine/number_text.hpp"

namespace plugin_check {
namespace {

dBodyID body_of(const tamrix_host::Host &host, const std::string &name) {
  return static_cast<dBodyID>(static_cast<void *>(host.body(name)));
}

// Only the host's bodies the engine still holds: one a plug-in destroyed is
// another check's finding, and never read through its handle here.
std::vector<std::pair<std::string, dBodyID>> live_bodies(const tamrix_host::Host &host) {
  std::unordered_set<dBodyID> in_space;
  auto *const space = static_cast<dSpaceID>(host.engine_space());
  for (int i = 0; i < dSpaceGetNumGeoms(space); ++i) {
    in_space.insert(dGeomGetBody(dSpaceGetGeom(space, i)));
  }
  std::vector<std::pair<std::string, dBodyID>> bodies;
  for (const std::string &name : host.world().bodies) {
    if (dBodyID body = body_of(host, name); in_space.contains(body)) {
      bodies.emplace_back(name, body);
    }
  }
  return bodies;
}

template <std::size_t N>
std::array<double, N> values(const dReal *from) {
  std::array<double, N> to{};
  std::copy_n(from, N, to.begin());
  return to;
}

// The fields of a contact the engine reads, by its mode: the others may hold
// whatever the plug-in's stack held, and are neither compared nor judged.
struct ContactField {
  const char *name;
  int mode;  // 0: always read
  std::size_t offset;
  int count;
  bool may_be_infinite;  // friction: infinity is the engine's own word for none
};

#define SURFACE(field) offsetof(dContact, surface.field)
const std::array<ContactField, 18> contact_fields = {{
    {"position", 0, offsetof(dContact, geom.pos), 3, false},
    {"normal", 0, offsetof(dContact, geom.normal), 3, false},
    {"depth", 0, offsetof(dContact, geom.depth), 1, false},
    {"mu", 0, SURFACE(mu), 1, true},
    {"mu2", dContactMu2, SURFACE(mu2), 1, true},
    {"fdir1", dContactFDir1, offsetof(dContact, fdir1), 3, false},
    {"rho", dContactRolling, SURFACE(rho), 1, true},
    {"rho2", dContactRolling, SURFACE(rho2), 1, true},
    {"rhoN", dContactRolling, SURFACE(rhoN), 1, true},
    {"bounce", dContactBounce, SURFACE(bounce), 1, false},
    {"bounce_vel", dContactBounce, SURFACE(bounce_vel), 1, false},
    {"soft_erp", dContactSoftERP, SURFACE(soft_erp), 1, false},
    {"soft_cfm", dContactSoftCFM, SURFACE(soft_cfm), 1, false},
    {"motion1", dContactMotion1, SURFACE(motion1), 1, false},
    {"motion2", dContactMotion2, SURFACE(motion2), 1, false},
    {"motionN", dContactMotionN, SURFACE(motionN), 1, false},
    {"slip1", dContactSlip1, SURFACE(slip1), 1, false},
    {"slip2", dContactSlip2, SURFACE(slip2), 1, false},
}};
#undef SURFACE

const dReal *field_of(const dContact &contact, const ContactField &field) {
  return reinterpret_cast<const dReal *>(reinterpret_cast<const char *>(&contact) + field.offset);
}

std::string contact_text(const tamrix_host::Host &host, const dContact &contact) {
  std::string out = host.name_of(contact.geom.g1) + ", " + host.name_of(contact.geom.g2) +
                    ": mode " + std::to_string(contact.surface.mode);
  for (const ContactField &field : contact_fields) {
    if (field.mode == 0 || (contact.surface.mode & field.mode) != 0) {
      out += std::string(", ") + field.name + " " + text(field_of(contact, field), field.count);
    }
  }
  return out;
}

// "contact of arm and floor: depth nan", or empty.
std::string not_finite(const tamrix_host::Host &host, const dContact &contact) {
  for (const ContactField &field : contact_fields) {
    if (field.mode != 0 && (contact.surface.mode & field.mode) == 0) {
      continue;
    }
    const dReal *values = field_of(contact, field);
    for (int i = 0; i < field.count; ++i) {
      if (std::isnan(values[i]) || (std::isinf(values[i]) && !field.may_be_infinite)) {
        return "a contact of " + host.name_of(contact.geom.g1) + " and " +
               host.name_of(contact.geom.g2) + " with " + field.name + " " +
               text(values, field.count);
      }
    }
  }
  return {};
}

constexpr int marked = 1;  // what the host's own contact holds as its data

}  // namespace

BodyReading read_body(void *handle, const std::string &name) {
  auto *const body = static_cast<dBodyID>(handle);
  return {name,
          values<3>(dBodyGetPosition(body)),
          values<4>(dBodyGetQuaternion(body)),
          values<3>(dBodyGetLinearVel(body)),
          values<3>(dBodyGetAngularVel(body)),
          values<3>(dBodyGetForce(body)),
          values<3>(dBodyGetTorque(body))};
}

void place_body(void *handle, const BodyReading &reading) {
  auto *const body = static_cast<dBodyID>(handle);
  dBodySetPosition(body, reading.position[0], reading.position[1], reading.position[2]);
  const dQuaternion turn = {reading.orientation[0], reading.orientation[1], reading.orientation[2],
                            reading.orientation[3]};
  dBodySetQuaternion(body, turn);
  dBodySetLinearVel(body, reading.linear[0], reading.linear[1], reading.linear[2]);
  dBodySetAngularVel(body, reading.angular[0], reading.angular[1], reading.angular[2]);
  dBodySetForce(body, reading.force[0], reading.force[1], reading.force[2]);
  dBodySetTorque(body, reading.torque[0], reading.torque[1], reading.torque[2]);
}

void restart_random_numbers() { dRandSetSeed(0); }

std::vector<BodyReading> read_bodies(const tamrix_host::Host &host) {
  std::vector<BodyReading> readings;
  for (const auto &[name, body] : live_bodies(host)) {
    readings.push_back(read_body(body, name));
  }
  return readings;
}

void put_back(const tamrix_host::Host &host, const std::vector<BodyReading> &bodies) {
  for (const BodyReading &reading : bodies) {
    place_body(body_of(host, reading.name), reading);
  }
  restart_random_numbers();
}

std::string pushes_not_finite(const std::vector<BodyReading> &bodies, const std::string &hook) {
  for (const BodyReading &body : bodies) {
    for (const auto &[what, value] : {std::pair{"force", &body.force}, {"torque", &body.torque}}) {
      if (!std::all_of(value->begin(), value->end(), [](double v) { return std::isfinite(v); })) {
        return hook + " left body " + body.name + " a " + what + " of " + text(value->data(), 3);
      }
    }
  }
  return {};
}

int bodies_of(tamrix_geom_handle first, tamrix_geom_handle second) {
  int count = 0;
  for (tamrix_geom_handle geometry : {first, second}) {
    count += dGeomGetBody(static_cast<dGeomID>(static_cast<void *>(geometry))) != nullptr ? 1 : 0;
  }
  return count;
}

long joint_ends(const tamrix_host::Host &host) {
  long ends = 0;
  for (const auto &[name, body] : live_bodies(host)) {
    ends += dBodyGetNumJoints(body);
  }
  return ends;
}

void watch_contacts(const tamrix_host::Host &host) {
  (void)watch_group(static_cast<dJointGroupID>(static_cast<void *>(host.contact_group())));
}

HeldContacts held_contacts(const tamrix_host::Host &host, const void *except) {
  std::unordered_map<dJointID, const dContact *> made;
  const std::vector<MadeContact> watched = stop_watching();
  HeldContacts held;
  for (const MadeContact &contact : watched) {
    made[contact.joint] = &contact.contact;
    if (held.not_finite.empty()) {
      held.not_finite = not_finite(host, contact.contact);
    }
  }
  // The engine reads a body's joints by place in its list, one walk each:
  // every contact read costs the walk to it.
  std::unordered_set<dJointID> seen;
  for (const auto &[name, body] : live_bodies(host)) {
    const int count = dBodyGetNumJoints(body);
    for (int i = 0; i < count; ++i) {
      dJointID joint = dBodyGetJoint(body, i);
      if (joint == except || dJointGetType(joint) != dJointTypeContact ||
          !seen.insert(joint).second) {
        continue;
      }
      ++held.count;
      const auto found = made.find(joint);
      if (found != made.end()) {
        ++held.kinds[contact_text(host, *found->second)];
      } else {
        ++held.kinds[host.name_of(dJointGetBody(joint, 0)) + " and " +
                     host.name_of(dJointGetBody(joint, 1))];
      }
    }
  }
  return held;
}

std::string contacts_not_finite(const tamrix_host::Host &host) {
  for (const MadeContact &contact : stop_watching()) {
    if (std::string found = not_finite(host, contact.contact); !found.empty()) {
      return found;
    }
  }
  return {};
}

const void *host_contact(const tamrix_host::Host &host) {
  const auto bodies = live_bodies(host);
  if (bodies.empty()) {
    return nullptr;
  }
  dContact contact{};
  contact.geom.normal[2] = 1;
  contact.geom.g1 = dBodyGetFirstGeom(bodies.front().second);
  dJointID joint = dJointCreateContact(
      static_cast<dWorldID>(host.engine_world()),
      static_cast<dJointGroupID>(static_cast<void *>(host.contact_group())), &contact);
  dJointAttach(joint, bodies.front().second, nullptr);
  dJointSetData(joint, const_cast<int *>(&marked));
  return joint;
}

bool host_contact_kept(const tamrix_host::Host &host, const void *contact) {
  const auto bodies = live_bodies(host);
  if (contact == nullptr || bodies.empty()) {
    return true;
  }
  dBodyID body = bodies.front().second;
  const int count = dBodyGetNumJoints(body);
  for (int i = 0; i < count; ++i) {
    dJointID joint = dBodyGetJoint(body, i);
    if (joint == contact) {
      return dJointGetData(joint) == &marked;
    }
  }
  return false;
}

}  // namespace plugin_check
