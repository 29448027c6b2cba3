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

#include "tamrix_physics.h"

enum { most_contacts = 4 };

static dBodyID arm;
static dGeomID floor_geometry;
static dJointGroupID contact_group;
static pthread_mutex_t contact_mutex = PTHREAD_MUTEX_INITIALIZER;
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
#ifdef BROKEN_ENGINE_ERROR_HANDLER
static void quiet_errors(int number, const char *format, va_list arguments) {
  (void)number;
  (void)format;
  (void)arguments;
}
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  tamrix_contact_group_fn *const group = dTamrixGetContactJointGroupProc;
  tamrix_geom_lookup_fn *const geom_lookup = dTamrixGetGeomFromDEFProc;
#ifdef BROKEN_ENGINE_KEPT_BODY
  /* Looked up once per process, as if the world never changed. */
  if (arm == NULL) {
    arm = (dBodyID)(void *)getBody("arm");
  }
#else
  arm = (dBodyID)(void *)getBody("arm");
#endif
  floor_geometry = geom_lookup != NULL ? (dGeomID)(void *)geom_lookup("floor") : NULL;
  contact_group = group != NULL ? (dJointGroupID)(void *)group() : NULL;
  if (arm == NULL) {
    return;
  }
#ifdef BROKEN_ENGINE_GRAVITY
  /* The plug-in's own idea of down, for every body of the host. */
  dWorldSetGravity(dBodyGetWorld(arm), 0, 0, -1.62);
#endif
#ifdef BROKEN_ENGINE_OWN_BODY
  /* A helper body, never destroyed. */
  (void)dBodyCreate(dBodyGetWorld(arm));
#endif
#ifdef BROKEN_ENGINE_FOREIGN_CONTACTS
  own_group = dJointGroupCreate(0);
#endif
#ifdef BROKEN_ENGINE_DISABLE_BODY
  dBodyDisable(arm);
#endif
#ifdef BROKEN_ENGINE_MOVED_CALLBACK
  dBodySetMovedCallback(arm, count_moves);
#endif
#ifdef BROKEN_ENGINE_ERP
  /* Stiffer joints for its own bodies, and for every body of the host. */
  dWorldSetERP(dBodyGetWorld(arm), 0.8);
#endif
#ifdef BROKEN_ENGINE_MASS
  {
    dMass mass;
    dMassSetBoxTotal(&mass, 100.0, 1, 1, 1);
    dBodySetMass(arm, &mass);
  }
#endif
#ifdef BROKEN_ENGINE_GRAVITY_MODE
  dBodySetGravityMode(arm, 0);
#endif
#ifdef BROKEN_ENGINE_KINEMATIC
  dBodySetKinematic(arm);
#endif
#ifdef BROKEN_ENGINE_BODY_DATA
  /* The host's user data is the host's. */
  dBodySetData(arm, &contact_mutex);
#endif
#ifdef BROKEN_ENGINE_CATEGORY_BITS
  if (floor_geometry != NULL) {
    dGeomSetCategoryBits(floor_geometry, 2);
  }
#endif
#ifdef BROKEN_ENGINE_GEOM_DISABLED
  if (floor_geometry != NULL) {
    dGeomDisable(floor_geometry);
  }
#endif
#ifdef BROKEN_ENGINE_ERROR_HANDLER
  /* Every engine error of the host's now lands in code that is unmapped
     once the host unloads the plug-in. */
  dSetErrorHandler(quiet_errors);
#endif
}

void tamrix_physics_step(void) {
  if (arm == NULL) {
    return;
  }
  /* Forces are cleared after every step of the engine, so the push is given
     again each time. */
  dBodyAddForce(arm, 0, 0, 0.5);
#ifdef BROKEN_ENGINE_NAN_VELOCITY
  /* 0/0 from a push computed over a zero distance. */
  dBodySetLinearVel(arm, (dReal)NAN, 0, 0);
#endif
#ifdef BROKEN_ENGINE_STEPS_WORLD
  /* Time runs twice: the host steps the world too. */
  dWorldStep(dBodyGetWorld(arm), 0.01);
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
  pthread_mutex_lock(&contact_mutex);
  for (i = 0; i < made; ++i) {
    dJointID joint;
    contacts[i].surface.mode = 0;
    contacts[i].surface.mu = 0.0;
    joint =
        dJointCreateContact(dBodyGetWorld(body_a != NULL ? body_a : body_b), group, &contacts[i]);
    dJointAttach(joint, body_a, body_b);
  }
  pthread_mutex_unlock(&contact_mutex);
  return 1;
}

void tamrix_physics_cleanup(void) {
#ifdef BROKEN_ENGINE_DESTROY_BODY
  /* "Tidying up" what it looked up: the host's body. */
  if (arm != NULL) {
    dBodyDestroy(arm);
  }
#endif
#ifdef BROKEN_ENGINE_DESTROY_GEOM
  if (floor_geometry != NULL) {
    dGeomDestroy(floor_geometry);
  }
#endif
#ifndef BROKEN_ENGINE_KEPT_BODY
  arm = NULL;
#endif
  floor_geometry = NULL;
  contact_group = NULL;
}
