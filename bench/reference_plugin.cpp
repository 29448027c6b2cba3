// The least any plug-in can be: the kit's service table (see CMakeLists.txt)
// and the remaining names with the same signatures, built with the same
// flags, with bodies that do nothing. What my_physics1 costs beyond this is
// what it adds.
#include "tamrix_physics.h"

extern "C" {

tamrix_body_handle getBody(const char * /*def_name*/) { return nullptr; }
void tamrix_physics_init(void) {}
void tamrix_physics_step(void) {}
int tamrix_physics_collide(tamrix_geom_handle /*first*/, tamrix_geom_handle /*second*/) {
  return 0;
}
void tamrix_physics_cleanup(void) {}

}  // extern "C"
