// The least any plug-in can be: the same exported names and signatures, built
// with the same flags, with bodies that do nothing. What my_physics1 costs
// beyond this is what it adds.
#include "tamrix_physics.h"

extern "C" {

tamrix_geom_lookup_fn *dTamrixGetGeomFromDEFProc;
tamrix_body_lookup_fn *dTamrixGetBodyFromDEFProc;
tamrix_contact_group_fn *dTamrixGetContactJointGroupProc;
tamrix_send_fn *dTamrixSendProc;
tamrix_receive_fn *dTamrixReceiveProc;
tamrix_console_printf_fn *dTamrixConsolePrintfProc;
tamrix_time_fn *dTamrixGetTimeProc;

void physics_special_init(tamrix_geom_lookup_fn * /*geom_lookup*/,
                          tamrix_body_lookup_fn * /*body_lookup*/,
                          tamrix_contact_group_fn * /*contact_group*/, tamrix_send_fn * /*send*/,
                          tamrix_receive_fn * /*receive*/,
                          tamrix_console_printf_fn * /*console_printf*/,
                          tamrix_time_fn * /*time*/) {}
tamrix_body_handle getBody(const char * /*def_name*/) { return nullptr; }
void tamrix_physics_init(void) {}
void tamrix_physics_step(void) {}
int tamrix_physics_collide(tamrix_geom_handle /*first*/, tamrix_geom_handle /*second*/) {
  return 0;
}
void tamrix_physics_cleanup(void) {}

}  // extern "C"
