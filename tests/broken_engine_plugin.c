/* A plug-in that acts on the host's rigid-body engine and keeps the
   contract, and with one BROKEN_ENGINE_* macro defined the one fault of that
   name: each a way an engine plug-in hurts the host that owns the world, for
   plugin-check to catch. Sound, it holds the body "arm" up a little in step
   and makes frictionless contacts in the host's group in collide, under a
   lock of its own. */
#include <math.h>
#include <ode/ode.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>

#include "tamrix_physics.h"

enum { most_contacts = 4 };

static dBodyID arm;
static dGeomID floor_geometry;
static dGeomID base_geometry;
static dJointGroupID contact_group;
static pthread_mutex_t engine_mutex = PTHREAD_MUTEX_INITIALIZER;
#ifdef BROKEN_ENGINE_FOREIGN_CONTACTS
/* Contacts of its own, never emptied: the bodies stay glued where they met. */
static dJointGroupID own_group;
#endif

#ifdef BROKEN_ENGINE_MOVED_CALLBACK
/* Told whenever the host's engine moves the body, even once unloaded. */
static long moves;
static void count_moves(dBodyID body) {
  (void)body;
  ++moves;
}
#endif
#if defined(BROKEN_ENGINE_ERROR_HANDLER) || defined(BROKEN_ENGINE_DEBUG_HANDLER) || \
    defined(BROKEN_ENGINE_MESSAGE_HANDLER)
static void quiet_errors(int number, const char *format, va_list arguments) {
  (void)number;
  (void)format;
  (void)arguments;
}
#endif
/* The engine's memory, through code that is unmapped once the host unloads
   the plug-in; the same heap, so what either side allocated stays freeable. */
#ifdef BROKEN_ENGINE_ALLOC_HANDLER
static void *own_alloc(dsizeint size) { return malloc(size); }
#endif
#ifdef BROKEN_ENGINE_REALLOC_HANDLER
static void *own_realloc(void *old, dsizeint old_size, dsizeint size) {
  (void)old_size;
  return realloc(old, size);
}
#endif
#ifdef BROKEN_ENGINE_FREE_HANDLER
static void own_free(void *old, dsizeint size) {
  (void)size;
  free(old);
}
#endif

/* The one-line faults: each changes one field of the world the host owns, in
   the hook it names (IN_INIT, IN_STEP or IN_CLEANUP), in plugin-check's own
   world, which has "arm", "floor" and "base". */
#define WORLD dBodyGetWorld(arm)
#define SPACE dGeomGetSpace(floor_geometry)
#define CHECKED_WORLD (arm != NULL && floor_geometry != NULL && base_geometry != NULL)
#if defined(BROKEN_ENGINE_GRAVITY) /* its own idea of down, for every body of the host */
#define IN_INIT dWorldSetGravity(WORLD, 0, 0, -1.62)
#elif defined(BROKEN_ENGINE_ERP) /* stiffer joints for its bodies, and all of the host's */
#define IN_INIT dWorldSetERP(WORLD, 0.8)
#elif defined(BROKEN_ENGINE_CFM)
#define IN_INIT dWorldSetCFM(WORLD, 1e-3)
#elif defined(BROKEN_ENGINE_QUICK_STEP_ITERATIONS)
#define IN_INIT dWorldSetQuickStepNumIterations(WORLD, 50)
#elif defined(BROKEN_ENGINE_QUICK_STEP_W)
#define IN_INIT dWorldSetQuickStepW(WORLD, 1.0)
#elif defined(BROKEN_ENGINE_MAX_CORRECTING_VEL)
#define IN_INIT dWorldSetContactMaxCorrectingVel(WORLD, 1.0)
#elif defined(BROKEN_ENGINE_SURFACE_LAYER)
#define IN_INIT dWorldSetContactSurfaceLayer(WORLD, 0.001)
#elif defined(BROKEN_ENGINE_AUTO_DISABLE)
#define IN_INIT dWorldSetAutoDisableFlag(WORLD, 1)
#elif defined(BROKEN_ENGINE_AUTO_DISABLE_LINEAR)
#define IN_INIT dWorldSetAutoDisableLinearThreshold(WORLD, 0.1)
#elif defined(BROKEN_ENGINE_AUTO_DISABLE_ANGULAR)
#define IN_INIT dWorldSetAutoDisableAngularThreshold(WORLD, 0.1)
#elif defined(BROKEN_ENGINE_AUTO_DISABLE_SAMPLES)
#define IN_INIT dWorldSetAutoDisableAverageSamplesCount(WORLD, 5)
#elif defined(BROKEN_ENGINE_AUTO_DISABLE_STEPS)
#define IN_STEP dWorldSetAutoDisableSteps(WORLD, 50)
#elif defined(BROKEN_ENGINE_AUTO_DISABLE_TIME)
#define IN_INIT dWorldSetAutoDisableTime(WORLD, 1.0)
#elif defined(BROKEN_ENGINE_LINEAR_DAMPING)
#define IN_INIT dWorldSetLinearDamping(WORLD, 0.01)
#elif defined(BROKEN_ENGINE_ANGULAR_DAMPING)
#define IN_INIT dWorldSetAngularDamping(WORLD, 0.01)
#elif defined(BROKEN_ENGINE_LINEAR_DAMPING_THRESHOLD)
#define IN_INIT dWorldSetLinearDampingThreshold(WORLD, 0.1)
#elif defined(BROKEN_ENGINE_ANGULAR_DAMPING_THRESHOLD)
#define IN_INIT dWorldSetAngularDampingThreshold(WORLD, 0.1)
#elif defined(BROKEN_ENGINE_MAX_ANGULAR_SPEED)
#define IN_STEP dWorldSetMaxAngularSpeed(WORLD, 10)
#elif defined(BROKEN_ENGINE_STEP_THREADS)
#define IN_INIT dWorldSetStepIslandsProcessingMaxThreadCount(WORLD, 1)
#elif defined(BROKEN_ENGINE_WORLD_DATA)
#define IN_CLEANUP dWorldSetData(WORLD, &engine_mutex)
#elif defined(BROKEN_ENGINE_DISABLE_BODY)
#define IN_INIT dBodyDisable(arm)
#elif defined(BROKEN_ENGINE_GRAVITY_MODE)
#define IN_INIT dBodySetGravityMode(arm, 0)
#elif defined(BROKEN_ENGINE_KINEMATIC)
#define IN_INIT dBodySetKinematic(arm)
#elif defined(BROKEN_ENGINE_BODY_DATA) /* the host's user data is the host's */
#define IN_INIT dBodySetData(arm, &engine_mutex)
#elif defined(BROKEN_ENGINE_POSITION)
#define IN_INIT dBodySetPosition(arm, 0, 0, 2)
#elif defined(BROKEN_ENGINE_ORIENTATION)
static const dQuaternion half_turn = {0, 0, 0, 1};
#define IN_INIT dBodySetQuaternion(arm, half_turn)
#elif defined(BROKEN_ENGINE_ANGULAR_VELOCITY)
#define IN_STEP dBodySetAngularVel(arm, 0, 0, 1)
#elif defined(BROKEN_ENGINE_NAN_VELOCITY) /* 0/0 from a push over a zero distance */
#define IN_STEP dBodySetLinearVel(arm, (dReal)NAN, 0, 0)
#elif defined(BROKEN_ENGINE_BODY_AUTO_DISABLE)
#define IN_INIT dBodySetAutoDisableFlag(arm, 1)
#elif defined(BROKEN_ENGINE_BODY_LINEAR_DAMPING)
#define IN_INIT dBodySetLinearDamping(arm, 0.1)
#elif defined(BROKEN_ENGINE_BODY_ANGULAR_DAMPING)
#define IN_INIT dBodySetAngularDamping(arm, 0.1)
#elif defined(BROKEN_ENGINE_BODY_MAX_ANGULAR_SPEED)
#define IN_INIT dBodySetMaxAngularSpeed(arm, 5)
#elif defined(BROKEN_ENGINE_FINITE_ROTATION)
#define IN_INIT dBodySetFiniteRotationMode(arm, 1)
#elif defined(BROKEN_ENGINE_FINITE_ROTATION_AXIS)
#define IN_INIT dBodySetFiniteRotationAxis(arm, 0, 0, 1)
#elif defined(BROKEN_ENGINE_GYROSCOPIC)
#define IN_INIT dBodySetGyroscopicMode(arm, 0)
#elif defined(BROKEN_ENGINE_BODY_AUTO_DISABLE_LINEAR)
#define IN_INIT dBodySetAutoDisableLinearThreshold(arm, 0.1)
#elif defined(BROKEN_ENGINE_BODY_AUTO_DISABLE_ANGULAR)
#define IN_INIT dBodySetAutoDisableAngularThreshold(arm, 0.1)
#elif defined(BROKEN_ENGINE_BODY_AUTO_DISABLE_SAMPLES)
#define IN_INIT dBodySetAutoDisableAverageSamplesCount(arm, 5)
#elif defined(BROKEN_ENGINE_BODY_AUTO_DISABLE_STEPS)
#define IN_STEP dBodySetAutoDisableSteps(arm, 50)
#elif defined(BROKEN_ENGINE_BODY_AUTO_DISABLE_TIME)
#define IN_INIT dBodySetAutoDisableTime(arm, 1.0)
#elif defined(BROKEN_ENGINE_BODY_LINEAR_DAMPING_THRESHOLD)
#define IN_INIT dBodySetLinearDampingThreshold(arm, 0.1)
#elif defined(BROKEN_ENGINE_BODY_ANGULAR_DAMPING_THRESHOLD)
#define IN_CLEANUP dBodySetAngularDampingThreshold(arm, 0.1)
#elif defined(BROKEN_ENGINE_DESTROY_BODY) /* "tidying up" what it looked up */
#define IN_CLEANUP dBodyDestroy(arm)
#elif defined(BROKEN_ENGINE_DESTROY_GEOM)
#define IN_CLEANUP dGeomDestroy(floor_geometry)
#elif defined(BROKEN_ENGINE_GEOM_DISABLED)
#define IN_INIT dGeomDisable(floor_geometry)
#elif defined(BROKEN_ENGINE_CATEGORY_BITS)
#define IN_INIT dGeomSetCategoryBits(floor_geometry, 2)
#elif defined(BROKEN_ENGINE_COLLIDE_BITS)
#define IN_INIT dGeomSetCollideBits(floor_geometry, 1)
#elif defined(BROKEN_ENGINE_GEOM_BODY)
#define IN_INIT dGeomSetBody(base_geometry, arm)
#elif defined(BROKEN_ENGINE_GEOM_SPACE) /* taken out rather than destroyed */
#define IN_CLEANUP dSpaceRemove(SPACE, floor_geometry)
#elif defined(BROKEN_ENGINE_OFFSET)
#define IN_INIT dGeomSetOffsetPosition(dBodyGetFirstGeom(arm), 0, 0, 0.1)
#elif defined(BROKEN_ENGINE_OFFSET_ORIENTATION)
static const dQuaternion half_turn = {0, 0, 0, 1};
#define IN_INIT dGeomSetOffsetQuaternion(dBodyGetFirstGeom(arm), half_turn)
#elif defined(BROKEN_ENGINE_PLANE)
#define IN_INIT dGeomPlaneSetParams(floor_geometry, 0, 0, 1, 0.5)
#elif defined(BROKEN_ENGINE_FIXED_POSITION)
#define IN_STEP dGeomSetPosition(base_geometry, 0, 0, -0.1)
#elif defined(BROKEN_ENGINE_FIXED_ORIENTATION)
static const dQuaternion half_turn = {0, 0, 0, 1};
#define IN_CLEANUP dGeomSetQuaternion(base_geometry, half_turn)
#elif defined(BROKEN_ENGINE_SHAPE) /* a smaller box than the host made */
#define IN_INIT dGeomBoxSetLengths(base_geometry, 0.5, 0.5, 0.5)
#elif defined(BROKEN_ENGINE_GEOM_DATA)
#define IN_INIT dGeomSetData(floor_geometry, &engine_mutex)
#elif defined(BROKEN_ENGINE_SPACE_CLEANUP)
#define IN_INIT dSpaceSetCleanup(SPACE, 0)
#elif defined(BROKEN_ENGINE_SUBLEVEL)
#define IN_INIT dSpaceSetSublevel(SPACE, 1)
#elif defined(BROKEN_ENGINE_ERROR_HANDLER) /* the host's errors, into unmapped code */
#define IN_INIT dSetErrorHandler(quiet_errors)
#elif defined(BROKEN_ENGINE_DEBUG_HANDLER)
#define IN_INIT dSetDebugHandler(quiet_errors)
#elif defined(BROKEN_ENGINE_MESSAGE_HANDLER)
#define IN_INIT dSetMessageHandler(quiet_errors)
#elif defined(BROKEN_ENGINE_ALLOC_HANDLER)
#define IN_INIT dSetAllocHandler(own_alloc)
#elif defined(BROKEN_ENGINE_REALLOC_HANDLER)
#define IN_INIT dSetReallocHandler(own_realloc)
#elif defined(BROKEN_ENGINE_FREE_HANDLER)
#define IN_INIT dSetFreeHandler(own_free)
#elif defined(BROKEN_ENGINE_STEPS_WORLD) /* time runs twice: the host steps it too */
#define IN_STEP dWorldStep(WORLD, 0.01)
#endif

#ifdef BROKEN_ENGINE_FEEDBACK_CLEARED
/* Reads the forces in every joint of the world through records of its own,
   and when done sets each joint back to no record at all: a host that read
   a joint's forces has lost its own record. */
static dJointFeedback joint_forces[16];
static void read_joint_forces(int on) {
  const dSpaceID space = floor_geometry != NULL ? dGeomGetSpace(floor_geometry) : NULL;
  int used = 0;
  for (int i = 0; space != NULL && i < dSpaceGetNumGeoms(space); ++i) {
    const dBodyID body = dGeomGetBody(dSpaceGetGeom(space, i));
    for (int j = 0; body != NULL && j < dBodyGetNumJoints(body); ++j) {
      const dJointID joint = dBodyGetJoint(body, j);
      if (dJointGetType(joint) != dJointTypeContact && used < 16) {
        dJointSetFeedback(joint, on ? &joint_forces[used++] : NULL);
      }
    }
  }
}
#endif

static dGeomID geometry(const char *name) {
  tamrix_geom_lookup_fn *const lookup = dTamrixGetGeomFromDEFProc;
  return lookup != NULL ? (dGeomID)(void *)lookup(name) : NULL;
}

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  tamrix_contact_group_fn *const group = dTamrixGetContactJointGroupProc;
#ifdef BROKEN_ENGINE_KEPT_BODY
  /* Looked up once per process, as if the world never changed. */
  if (arm == NULL) {
    arm = (dBodyID)(void *)getBody("arm");
  }
#else
  arm = (dBodyID)(void *)getBody("arm");
#endif
  floor_geometry = geometry("floor");
  base_geometry = geometry("base");
  contact_group = group != NULL ? (dJointGroupID)(void *)group() : NULL;
  if (arm == NULL) {
    return;
  }
#ifdef IN_INIT
  if (CHECKED_WORLD) {
    IN_INIT;
  }
#endif
#ifdef BROKEN_ENGINE_OWN_BODY
  /* A helper body, never destroyed. */
  (void)dBodyCreate(dBodyGetWorld(arm));
#endif
#ifdef BROKEN_ENGINE_FOREIGN_CONTACTS
  own_group = dJointGroupCreate(0);
#endif
#ifdef BROKEN_ENGINE_MOVED_CALLBACK
  dBodySetMovedCallback(arm, count_moves);
#endif
#ifdef BROKEN_ENGINE_FEEDBACK_CLEARED
  read_joint_forces(1);
#endif
#ifdef BROKEN_ENGINE_HINGE_ANCHOR
  /* Moves the host's hinge along the arm, a setting no getter of the
     snapshot's reads back, and never moves it back. */
  if (dBodyGetNumJoints(arm) > 0 && dJointGetType(dBodyGetJoint(arm, 0)) == dJointTypeHinge) {
    dVector3 anchor;
    dJointGetHingeAnchor(dBodyGetJoint(arm, 0), anchor);
    dJointSetHingeAnchor(dBodyGetJoint(arm, 0), anchor[0] + 0.25, anchor[1], anchor[2]);
  }
#endif
#ifdef BROKEN_ENGINE_GYROSCOPIC_ON
  /* Turns the arm's gyroscopic terms on "to be sure": in a world that kept
     the engine's default this changes nothing, in a host's that turned
     them off it does. */
  dBodySetGyroscopicMode(arm, 1);
#endif
#ifdef BROKEN_ENGINE_MASS
  {
    dMass mass;
    dMassSetBoxTotal(&mass, 100.0, 1, 1, 1);
    dBodySetMass(arm, &mass);
  }
#endif
}

void tamrix_physics_step(void) {
  if (arm == NULL) {
    return;
  }
#ifdef BROKEN_ENGINE_MOTOR_LEFT
  /* Drives the host's hinge, and leaves it driven once it is gone. */
  if (dBodyGetNumJoints(arm) > 0 && dJointGetType(dBodyGetJoint(arm, 0)) == dJointTypeHinge) {
    dJointSetHingeParam(dBodyGetJoint(arm, 0), dParamVel, 1.0);
  }
#endif
  /* Forces are cleared after every step of the engine, so the push is given
     again each time; under the lock, since a push added on two threads at
     once loses one. */
  pthread_mutex_lock(&engine_mutex);
  dBodyAddForce(arm, 0, 0, 0.5);
  pthread_mutex_unlock(&engine_mutex);
#ifdef IN_STEP
  if (CHECKED_WORLD) {
    IN_STEP;
  }
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  const dGeomID a = (dGeomID)(void *)first;
  const dGeomID b = (dGeomID)(void *)second;
  const dBodyID body_a = dGeomGetBody(a);
  const dBodyID body_b = dGeomGetBody(b);
#ifdef BROKEN_ENGINE_FOREIGN_CONTACTS
  const dJointGroupID group = own_group;
#else
  const dJointGroupID group = contact_group;
#endif
  dContact contacts[most_contacts];
  int made;
  int i;
  if (group == NULL || (body_a == NULL && body_b == NULL)) {
    return 0;
  }
  made = dCollide(a, b, most_contacts, &contacts[0].geom, sizeof(dContact));
  pthread_mutex_lock(&engine_mutex);
  for (i = 0; i < made; ++i) {
    dJointID joint;
    contacts[i].surface.mode = 0;
    contacts[i].surface.mu = 0.0;
    joint =
        dJointCreateContact(dBodyGetWorld(body_a != NULL ? body_a : body_b), group, &contacts[i]);
    dJointAttach(joint, body_a, body_b);
  }
  pthread_mutex_unlock(&engine_mutex);
  return 1;
}

void tamrix_physics_cleanup(void) {
#ifdef IN_CLEANUP
  if (CHECKED_WORLD) {
    IN_CLEANUP;
  }
#endif
#ifdef BROKEN_ENGINE_FEEDBACK_CLEARED
  read_joint_forces(0);
#endif
#ifndef BROKEN_ENGINE_KEPT_BODY
  arm = NULL;
#endif
  floor_geometry = NULL;
  base_geometry = NULL;
  contact_group = NULL;
}
