/* A plug-in built with the engine that leaves all physics to the host: its
   collide looks at the pair through the engine, and answers 0. */
#include <ode/ode.h>

#include "tamrix_physics.h"

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {}

void tamrix_physics_step(void) {}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  /* Asked only about pairs with a body to move. */
  return dGeomGetBody((dGeomID)(void *)first) == NULL &&
                 dGeomGetBody((dGeomID)(void *)second) == NULL
             ? 2
             : 0;
}

void tamrix_physics_cleanup(void) {}
