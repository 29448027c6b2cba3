/* The service table and its set-up, as every plug-in needs them, for plug-ins
   built with tamrix_add_physics_plugin(<name> SERVICE_TABLE ...): their
   authors write getBody and the four hooks, and nothing else. */
#include "tamrix_physics.h"

/* Zero-initialised, so every row reads null from load with no code at load. */
tamrix_geom_lookup_fn *dTamrixGetGeomFromDEFProc;
tamrix_body_lookup_fn *dTamrixGetBodyFromDEFProc;
tamrix_contact_group_fn *dTamrixGetContactJointGroupProc;
tamrix_send_fn *dTamrixSendProc;
tamrix_receive_fn *dTamrixReceiveProc;
tamrix_console_printf_fn *dTamrixConsolePrintfProc;
tamrix_time_fn *dTamrixGetTimeProc;

/* Argument n into row n, all seven every call, null included. */
void physics_special_init(tamrix_geom_lookup_fn *geom_lookup, tamrix_body_lookup_fn *body_lookup,
                          tamrix_contact_group_fn *contact_group, tamrix_send_fn *send,
                          tamrix_receive_fn *receive, tamrix_console_printf_fn *console_printf,
                          tamrix_time_fn *time) {
  dTamrixGetGeomFromDEFProc = geom_lookup;
  dTamrixGetBodyFromDEFProc = body_lookup;
  dTamrixGetContactJointGroupProc = contact_group;
  dTamrixSendProc = send;
  dTamrixReceiveProc = receive;
  dTamrixConsolePrintfProc = console_printf;
  dTamrixGetTimeProc = time;
}
