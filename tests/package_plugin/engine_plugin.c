/* An ENGINE plug-in: it calls the engine on the body the host hands it,
   holding "box" against gravity. Its link proves the package gives the
   engine's headers and library and nothing else. */
#include <ode/ode.h>

#include "tamrix_physics.h"

static dBodyID box;

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  /* The host's body handles are the engine's bodies. */
  box = (dBodyID)getBody("box");
}

void tamrix_physics_step(void) {
  if (box == NULL) {
    return;
  }
  dWorldID world = dBodyGetWorld(box);
  dVector3 gravity;
  dMass mass;
  dWorldGetGravity(world, gravity);
  dBodyGetMass(box, &mass);
  dBodyAddForce(box, -mass.mass * gravity[0], -mass.mass * gravity[1], -mass.mass * gravity[2]);
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) { box = NULL; }
