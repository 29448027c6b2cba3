/* An example Tamrix physics plug-in that acts on the host's rigid-body
   engine, to copy and start from:

   - in step it holds the body named "lift" against gravity, with a force
     equal to its weight, so it floats where it is;
   - in collide it makes the contacts for every pair itself, frictionless,
     in the host's contact group, and answers 1: the pair is dealt with, and
     the host adds no contacts of its own. Answering 0 instead leaves the pair
     to the host's contacts, with the host's surface.

   The handles the host gives are the engine's own (a body handle is a
   dBodyID, a geometry handle a dGeomID, the contact group a dJointGroupID),
   so this file includes the engine's header and is linked with it
   (tamrix_add_physics_plugin(... ENGINE ...)). The service table and
   physics_special_init come from the kit (SERVICE_TABLE). */
#include <ode/ode.h>
#include <pthread.h>

#include "tamrix_physics.h"

enum { most_contacts = 4 };

/* Looked up at init and forgotten at cleanup: a host that reloads its world
   hands out new handles. */
static dBodyID lift;
static dJointGroupID contact_group;
/* A host may call step and collide on several threads at once, and the
   engine's bodies, world and contact group are not safe to change from two
   threads together: a force added twice at once loses one, and joints made
   at once corrupt the group. One lock guards every change this plug-in makes
   to the engine. */
static pthread_mutex_t engine_mutex;
static int mutex_live;

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  tamrix_contact_group_fn *const group = dTamrixGetContactJointGroupProc;
  if (!mutex_live) {
    pthread_mutex_init(&engine_mutex, NULL);
    mutex_live = 1;
  }
  lift = (dBodyID)(void *)getBody("lift");
  contact_group = group != NULL ? (dJointGroupID)(void *)group() : NULL;
}

void tamrix_physics_step(void) {
  dMass mass;
  dVector3 gravity;
  if (lift == NULL) {
    return;
  }
  /* Forces are cleared after every step of the engine, so the push is given
     again each time. */
  pthread_mutex_lock(&engine_mutex);
  dBodyGetMass(lift, &mass);
  dWorldGetGravity(dBodyGetWorld(lift), gravity);
  dBodyAddForce(lift, -mass.mass * gravity[0], -mass.mass * gravity[1], -mass.mass * gravity[2]);
  pthread_mutex_unlock(&engine_mutex);
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  const dGeomID a = (dGeomID)(void *)first;
  const dGeomID b = (dGeomID)(void *)second;
  const dBodyID body_a = dGeomGetBody(a);
  const dBodyID body_b = dGeomGetBody(b);
  dContact contacts[most_contacts];
  int made;
  int i;
  if (contact_group == NULL || (body_a == NULL && body_b == NULL)) {
    return 0; /* nothing this plug-in can do: the host's contacts decide */
  }
  made = dCollide(a, b, most_contacts, &contacts[0].geom, sizeof(dContact));
  pthread_mutex_lock(&engine_mutex);
  for (i = 0; i < made; ++i) {
    dJointID joint;
    contacts[i].surface.mode = 0;
    contacts[i].surface.mu = 0.0; /* frictionless: a body slides on */
    joint = dJointCreateContact(dBodyGetWorld(body_a != NULL ? body_a : body_b), contact_group,
                                &contacts[i]);
    dJointAttach(joint, body_a, body_b);
  }
  pthread_mutex_unlock(&engine_mutex);
  return 1;
}

void tamrix_physics_cleanup(void) {
  if (mutex_live) {
    pthread_mutex_destroy(&engine_mutex);
    mutex_live = 0;
  }
  lift = NULL;
  contact_group = NULL;
}
