#include "engine/engine_snapshot.hpp"

#include <ode/ode.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>

#include "engine/number_text.hpp"

namespace plugin_check {
namespace {

// No NaN or infinity in where a body is and how it moves, which the engine
// would spread to every body it touches.
std::string finite(dBodyID body) {
  for (const dReal *values : {dBodyGetPosition(body), dBodyGetLinearVel(body),
                              dBodyGetAngularVel(body), dBodyGetQuaternion(body)}) {
    for (int i = 0; i < 3; ++i) {
      if (!std::isfinite(values[i])) {
        return "no";
      }
    }
  }
  return "yes";
}

template <typename Pointer>
std::string address(Pointer pointer) {
  std::uintptr_t bits = 0;
  static_assert(sizeof(pointer) == sizeof(bits));
  std::memcpy(&bits, &pointer, sizeof(bits));
  if (bits == 0) {
    return "null";
  }
  std::array<char, 32> digits{};
  std::snprintf(digits.data(), digits.size(), "0x%" PRIxPTR, bits);
  return digits.data();
}

std::string flag(int value) { return value != 0 ? "on" : "off"; }

// ---- The table: one row per field, each read by the engine's own getter.

template <typename Object>
struct Field {
  const char *name;
  std::function<std::string(Object)> read;
  bool held_for_life = false;
};

const std::vector<Field<dWorldID>> &world_fields() {
  static const std::vector<Field<dWorldID>> fields = {
      {"gravity",
       [](dWorldID w) {
         dVector3 g;
         dWorldGetGravity(w, g);
         return text(g, 3);
       }},
      {"ERP", [](dWorldID w) { return text(dWorldGetERP(w)); }},
      {"CFM", [](dWorldID w) { return text(dWorldGetCFM(w)); }},
      {"quick-step iterations",
       [](dWorldID w) { return std::to_string(dWorldGetQuickStepNumIterations(w)); }},
      {"quick-step over-relaxation", [](dWorldID w) { return text(dWorldGetQuickStepW(w)); }},
      {"contact max correcting velocity",
       [](dWorldID w) { return text(dWorldGetContactMaxCorrectingVel(w)); }},
      {"contact surface layer", [](dWorldID w) { return text(dWorldGetContactSurfaceLayer(w)); }},
      {"auto-disable", [](dWorldID w) { return flag(dWorldGetAutoDisableFlag(w)); }},
      {"auto-disable linear threshold",
       [](dWorldID w) { return text(dWorldGetAutoDisableLinearThreshold(w)); }},
      {"auto-disable angular threshold",
       [](dWorldID w) { return text(dWorldGetAutoDisableAngularThreshold(w)); }},
      {"auto-disable samples",
       [](dWorldID w) { return std::to_string(dWorldGetAutoDisableAverageSamplesCount(w)); }},
      {"auto-disable steps",
       [](dWorldID w) { return std::to_string(dWorldGetAutoDisableSteps(w)); }},
      {"auto-disable time", [](dWorldID w) { return text(dWorldGetAutoDisableTime(w)); }},
      {"linear damping", [](dWorldID w) { return text(dWorldGetLinearDamping(w)); }},
      {"angular damping", [](dWorldID w) { return text(dWorldGetAngularDamping(w)); }},
      {"linear damping threshold",
       [](dWorldID w) { return text(dWorldGetLinearDampingThreshold(w)); }},
      {"angular damping threshold",
       [](dWorldID w) { return text(dWorldGetAngularDampingThreshold(w)); }},
      {"max angular speed", [](dWorldID w) { return text(dWorldGetMaxAngularSpeed(w)); }},
      {"step threads",
       [](dWorldID w) { return std::to_string(dWorldGetStepIslandsProcessingMaxThreadCount(w)); }},
      {"user data", [](dWorldID w) { return address(dWorldGetData(w)); }},
  };
  return fields;
}

// Forces and torques are what a plug-in pushes a body with; they are in a
// row only where no plug-in may push (a world nobody steps).
const std::vector<Field<dBodyID>> &body_fields() {
  static const std::vector<Field<dBodyID>> fields = {
      {"enabled", [](dBodyID b) { return flag(dBodyIsEnabled(b)); }},
      {"mass",
       [](dBodyID b) {
         dMass mass;
         dBodyGetMass(b, &mass);
         return text(mass.mass) + " kg, centre " + text(mass.c, 3) + ", inertia " +
                text(mass.I, 12);
       }},
      {"gravity mode", [](dBodyID b) { return flag(dBodyGetGravityMode(b)); }},
      {"kinematic", [](dBodyID b) { return flag(dBodyIsKinematic(b)); }},
      {"user data", [](dBodyID b) { return address(dBodyGetData(b)); }},
      {"joints", [](dBodyID b) { return std::to_string(dBodyGetNumJoints(b)); }, true},
      {"position", [](dBodyID b) { return text(dBodyGetPosition(b), 3); }},
      {"orientation", [](dBodyID b) { return text(dBodyGetQuaternion(b), 4); }},
      {"linear velocity", [](dBodyID b) { return text(dBodyGetLinearVel(b), 3); }},
      {"angular velocity", [](dBodyID b) { return text(dBodyGetAngularVel(b), 3); }},
      {"auto-disable", [](dBodyID b) { return flag(dBodyGetAutoDisableFlag(b)); }},
      {"auto-disable linear threshold",
       [](dBodyID b) { return text(dBodyGetAutoDisableLinearThreshold(b)); }},
      {"auto-disable angular threshold",
       [](dBodyID b) { return text(dBodyGetAutoDisableAngularThreshold(b)); }},
      {"auto-disable samples",
       [](dBodyID b) { return std::to_string(dBodyGetAutoDisableAverageSamplesCount(b)); }},
      {"auto-disable steps", [](dBodyID b) { return std::to_string(dBodyGetAutoDisableSteps(b)); }},
      {"auto-disable time", [](dBodyID b) { return text(dBodyGetAutoDisableTime(b)); }},
      {"linear damping", [](dBodyID b) { return text(dBodyGetLinearDamping(b)); }},
      {"angular damping", [](dBodyID b) { return text(dBodyGetAngularDamping(b)); }},
      {"linear damping threshold",
       [](dBodyID b) { return text(dBodyGetLinearDampingThreshold(b)); }},
      {"angular damping threshold",
       [](dBodyID b) { return text(dBodyGetAngularDampingThreshold(b)); }},
      {"max angular speed", [](dBodyID b) { return text(dBodyGetMaxAngularSpeed(b)); }},
      {"finite rotation", [](dBodyID b) { return flag(dBodyGetFiniteRotationMode(b)); }},
      {"finite rotation axis",
       [](dBodyID b) {
         dVector3 axis;
         dBodyGetFiniteRotationAxis(b, axis);
         return text(axis, 3);
       }},
      {"gyroscopic", [](dBodyID b) { return flag(dBodyGetGyroscopicMode(b)); }},
  };
  return fields;
}

const std::vector<Field<dBodyID>> &pushed_body_fields() {
  static const std::vector<Field<dBodyID>> fields = {
      {"force", [](dBodyID b) { return text(dBodyGetForce(b), 3); }},
      {"torque", [](dBodyID b) { return text(dBodyGetTorque(b), 3); }},
  };
  return fields;
}

// A host's joint may be the plug-in's to drive while it lives (a motor's
// speed set at every step), so each row is held for life: back as the host
// had it once cleanup returns.
using ParamGetter = dReal (*)(dJointID, int);

ParamGetter param_getter(dJointID joint) {
  switch (dJointGetType(joint)) {
    case dJointTypeHinge:
      return dJointGetHingeParam;
    case dJointTypeSlider:
      return dJointGetSliderParam;
    case dJointTypeUniversal:
      return dJointGetUniversalParam;
    default:
      return nullptr;  // a ball or a fixed joint has no motor or stops
  }
}

void add_joint_rows(WorldSnapshot &rows, const std::string &owner, dJointID joint,
                    const std::function<std::string(dBodyID)> &name_of_body) {
  constexpr bool held = true;
  rows.push_back({owner + ": enabled", flag(dJointIsEnabled(joint)), held});
  rows.push_back(
      {owner + ": bodies",
       name_of_body(dJointGetBody(joint, 0)) + " and " + name_of_body(dJointGetBody(joint, 1)),
       held});
  rows.push_back(
      {owner + ": feedback", address(static_cast<const void *>(dJointGetFeedback(joint))), held});
  rows.push_back({owner + ": user data", address(dJointGetData(joint)), held});
  const ParamGetter get = param_getter(joint);
  if (get == nullptr) {
    return;
  }
  constexpr std::array<std::pair<int, const char *>, 9> params = {{
      {dParamVel, "motor velocity"},
      {dParamFMax, "motor max force"},
      {dParamLoStop, "low stop"},
      {dParamHiStop, "high stop"},
      {dParamBounce, "stop bounce"},
      {dParamStopERP, "stop ERP"},
      {dParamStopCFM, "stop CFM"},
      {dParamCFM, "CFM"},
      {dParamFudgeFactor, "fudge factor"},
  }};
  const int axes = dJointGetType(joint) == dJointTypeUniversal ? 2 : 1;
  for (int axis = 0; axis < axes; ++axis) {
    const std::string prefix = axis == 0 ? ": " : ": axis 2 ";
    for (const auto &[param, name] : params) {
      rows.push_back({owner + prefix + name, text(get(joint, param + axis * dParamGroup)), held});
    }
  }
}

// The host's joints of a world file. One the host made is read only while
// one of the bodies in the space still holds it, so one a plug-in destroyed
// is never looked behind.
void add_joints(WorldSnapshot &rows, const tamrix_host::Host &host,
                const std::vector<dBodyID> &bodies_in_space,
                const std::function<std::string(dBodyID)> &name_of_body) {
  const tamrix_host::World &described = host.world();
  if (!described.engine) {
    return;
  }
  std::vector<dJointID> held_by_bodies;
  for (dBodyID body : bodies_in_space) {
    for (int i = 0; body != nullptr && i < dBodyGetNumJoints(body); ++i) {
      held_by_bodies.push_back(dBodyGetJoint(body, i));
    }
  }
  for (const tamrix_host::EngineJoint &described_joint : described.engine->joints) {
    auto *const joint = static_cast<dJointID>(host.joint(described_joint.name));
    const std::string owner = "joint " + described_joint.name;
    const bool present = joint != nullptr && std::find(held_by_bodies.begin(), held_by_bodies.end(),
                                                       joint) != held_by_bodies.end();
    rows.push_back({owner + ": in the world", present ? "yes" : "no body of the space holds it"});
    if (present) {
      add_joint_rows(rows, owner, joint, name_of_body);
    }
  }
}

// The size of the shapes the host makes; a plane's is its own row.
std::string shape(dGeomID geometry) {
  dReal radius = 0;
  dReal length = 0;
  switch (dGeomGetClass(geometry)) {
    case dBoxClass: {
      dVector3 sides;
      dGeomBoxGetLengths(geometry, sides);
      return "box " + text(sides, 3);
    }
    case dSphereClass:
      return "sphere of radius " + text(dGeomSphereGetRadius(geometry));
    case dCapsuleClass:
      dGeomCapsuleGetParams(geometry, &radius, &length);
      return "capsule of radius " + text(radius) + ", length " + text(length);
    case dCylinderClass:
      dGeomCylinderGetParams(geometry, &radius, &length);
      return "cylinder of radius " + text(radius) + ", length " + text(length);
    default:
      return "class " + std::to_string(dGeomGetClass(geometry));
  }
}

template <typename Object>
void add_rows(WorldSnapshot &rows, const std::string &owner,
              const std::vector<Field<Object>> &fields, Object object) {
  for (const Field<Object> &field : fields) {
    rows.push_back({owner + ": " + field.name, field.read(object), field.held_for_life});
  }
}

}  // namespace

WorldSnapshot snapshot_world(const tamrix_host::Host &host) {
  WorldSnapshot rows;
  auto *const world = static_cast<dWorldID>(host.engine_world());
  auto *const space = static_cast<dSpaceID>(host.engine_space());
  const tamrix_host::World &described = host.world();
  add_rows(rows, "world", world_fields(), world);

  // What the space holds: a handle the host gave is read only while its
  // geometry is still in the space, or its body still has a geometry there,
  // so one a plug-in destroyed is never looked behind.
  std::vector<dGeomID> in_space;
  std::vector<dBodyID> bodies_in_space;
  const int count = dSpaceGetNumGeoms(space);
  for (int i = 0; i < count; ++i) {
    dGeomID geometry = dSpaceGetGeom(space, i);
    in_space.push_back(geometry);
    bodies_in_space.push_back(dGeomGetBody(geometry));
  }
  rows.push_back({"space: cleans up its geometries", flag(dSpaceGetCleanup(space))});
  rows.push_back({"space: sublevel", std::to_string(dSpaceGetSublevel(space))});
  rows.push_back({"space: manual cleanup", std::to_string(dSpaceGetManualCleanup(space))});

  const auto name_of_body = [&host](dBodyID body) {
    return body == nullptr ? std::string("none") : host.name_of(body);
  };
  for (const std::string &name : described.bodies) {
    auto *const body = static_cast<dBodyID>(static_cast<void *>(host.body(name)));
    const std::string owner = "body " + name;
    const bool present =
        std::find(bodies_in_space.begin(), bodies_in_space.end(), body) != bodies_in_space.end();
    rows.push_back({owner + ": in the world", present ? "yes" : "no geometry of the space has it"});
    if (present) {
      add_rows(rows, owner, body_fields(), body);
      rows.push_back({owner + ": finite", finite(body)});
    }
  }
  add_joints(rows, host, bodies_in_space, name_of_body);
  for (const std::string &name : described.geometries) {
    auto *const geometry = static_cast<dGeomID>(static_cast<void *>(host.geometry(name)));
    const std::string owner = "geometry " + name;
    const bool present = std::find(in_space.begin(), in_space.end(), geometry) != in_space.end();
    // A geometry the space holds is the space's own child, so its space is
    // the host's exactly when it is among them.
    rows.push_back({owner + ": space", present ? "the host's" : "none of the host's"});
    if (!present) {
      continue;
    }
    dBodyID body = dGeomGetBody(geometry);
    rows.push_back({owner + ": enabled", flag(dGeomIsEnabled(geometry))});
    rows.push_back({owner + ": category bits", std::to_string(dGeomGetCategoryBits(geometry))});
    rows.push_back({owner + ": collide bits", std::to_string(dGeomGetCollideBits(geometry))});
    rows.push_back({owner + ": body", name_of_body(body)});
    rows.push_back({owner + ": user data", address(dGeomGetData(geometry))});
    rows.push_back({owner + ": shape", shape(geometry)});
    if (body != nullptr) {
      dQuaternion turn;
      dGeomGetOffsetQuaternion(geometry, turn);
      rows.push_back({owner + ": offset", text(dGeomGetOffsetPosition(geometry), 3)});
      rows.push_back({owner + ": offset orientation", text(turn, 4)});
    } else if (dGeomGetClass(geometry) == dPlaneClass) {
      dVector4 plane;
      dGeomPlaneGetParams(geometry, plane);
      rows.push_back({owner + ": plane", text(plane, 4)});
    } else {
      dQuaternion turn;
      dGeomGetQuaternion(geometry, turn);
      rows.push_back({owner + ": position", text(dGeomGetPosition(geometry), 3)});
      rows.push_back({owner + ": orientation", text(turn, 4)});
    }
  }

  // After the geometries, so one the host gave that left the space is named
  // first, and the count names those a plug-in added.
  rows.push_back({"space: geometries", std::to_string(count), true});

  rows.push_back({"engine: error handler", address(dGetErrorHandler())});
  rows.push_back({"engine: debug handler", address(dGetDebugHandler())});
  rows.push_back({"engine: message handler", address(dGetMessageHandler())});
  rows.push_back({"engine: allocation handler", address(dGetAllocHandler())});
  rows.push_back({"engine: reallocation handler", address(dGetReallocHandler())});
  rows.push_back({"engine: free handler", address(dGetFreeHandler())});
  return rows;
}

void turn_settings_over(const tamrix_host::Host &host) {
  auto *const world = static_cast<dWorldID>(host.engine_world());
  dWorldSetERP(world, 0.3);
  dWorldSetCFM(world, 1e-6);
  dWorldSetQuickStepNumIterations(world, dWorldGetQuickStepNumIterations(world) + 10);
  dWorldSetQuickStepW(world, 1.1);
  dWorldSetContactMaxCorrectingVel(world, 100);
  dWorldSetContactSurfaceLayer(world, 0.001);
  dWorldSetAutoDisableFlag(world, 1);
  dWorldSetAutoDisableLinearThreshold(world, 0.02);
  dWorldSetAutoDisableAngularThreshold(world, 0.02);
  dWorldSetAutoDisableAverageSamplesCount(world, 2);
  dWorldSetAutoDisableSteps(world, 20);
  dWorldSetAutoDisableTime(world, 0.5);
  dWorldSetLinearDamping(world, 0.001);
  dWorldSetAngularDamping(world, 0.001);
  dWorldSetLinearDampingThreshold(world, 0.02);
  dWorldSetAngularDampingThreshold(world, 0.02);
  dWorldSetMaxAngularSpeed(world, 1000);
  for (const std::string &name : host.world().bodies) {
    auto *const body = static_cast<dBodyID>(static_cast<void *>(host.body(name)));
    dBodySetGravityMode(body, 0);
    dBodySetAutoDisableFlag(body, 1);
    dBodySetAutoDisableLinearThreshold(body, 0.02);
    dBodySetAutoDisableAngularThreshold(body, 0.02);
    dBodySetAutoDisableAverageSamplesCount(body, 2);
    dBodySetAutoDisableSteps(body, 20);
    dBodySetAutoDisableTime(body, 0.5);
    dBodySetLinearDamping(body, 0.001);
    dBodySetAngularDamping(body, 0.001);
    dBodySetLinearDampingThreshold(body, 0.02);
    dBodySetAngularDampingThreshold(body, 0.02);
    dBodySetMaxAngularSpeed(body, 1000);
    dBodySetFiniteRotationMode(body, 1);
    dBodySetFiniteRotationAxis(body, 0, 0, 1);
    dBodySetGyroscopicMode(body, 0);
  }
  for (const std::string &name : host.world().geometries) {
    auto *const geometry = static_cast<dGeomID>(static_cast<void *>(host.geometry(name)));
    dGeomSetCategoryBits(geometry, 0x7fffffffUL);
    dGeomSetCollideBits(geometry, 0x7fffffffUL);
  }
  dSpaceSetSublevel(static_cast<dSpaceID>(host.engine_space()), 1);
}

WorldSnapshot snapshot_bodies(const std::vector<std::pair<std::string, void *>> &bodies) {
  WorldSnapshot rows;
  for (const auto &[name, handle] : bodies) {
    auto *const body = static_cast<dBodyID>(handle);
    add_rows(rows, "body " + name, body_fields(), body);
    add_rows(rows, "body " + name, pushed_body_fields(), body);
  }
  return rows;
}

namespace {

WorldSnapshot rows_held(const WorldSnapshot &rows, bool held) {
  WorldSnapshot picked;
  std::copy_if(rows.begin(), rows.end(), std::back_inserter(picked),
               [held](const WorldRow &row) { return row.held_for_life == held; });
  return picked;
}

}  // namespace

std::string differences_in(const WorldSnapshot &before, const WorldSnapshot &after, bool held) {
  return differences(rows_held(before, held), rows_held(after, held));
}

std::string differences(const WorldSnapshot &before, const WorldSnapshot &after, std::size_t most) {
  std::map<std::string, std::string> was;
  for (const WorldRow &row : before) {
    was.emplace(row.field, row.value);
  }
  std::string out;
  std::size_t found = 0;
  for (const WorldRow &row : after) {
    const auto it = was.find(row.field);
    const std::string old = it != was.end() ? it->second : "absent";
    if (old == row.value) {
      continue;
    }
    if (++found <= most) {
      out += (out.empty() ? "" : "; ") + row.field + " was " + old + ", now " + row.value;
    }
  }
  if (found > most) {
    out += "; and " + std::to_string(found - most) + " more";
  }
  return out;
}

void empty_contact_group(tamrix_contact_group_handle group) {
  if (group != nullptr) {
    dJointGroupEmpty(static_cast<dJointGroupID>(static_cast<void *>(group)));
  }
}

}  // namespace plugin_check
