// The host's services, as the host handed them over, and the body lookup
// helper built on them. Every service call reads its row once into a local, so
// a null check and the call that follows it see the same pointer.
//
// my_physics1 calls only rows 2 (the body lookup) and 6 (the console); rows 1,
// 3, 4, 5 and 7 are stored for other code in the process and never called
// here, so a host may leave any of them null. A null row 2 finds no body, and
// a null row 6 drops the message.
#include "tamrix_physics.h"

extern "C" {

// Zero-initialised, so every row reads null from load without any code at load.
tamrix_geom_lookup_fn *dTamrixGetGeomFromDEFProc;
tamrix_body_lookup_fn *dTamrixGetBodyFromDEFProc;
tamrix_contact_group_fn *dTamrixGetContactJointGroupProc;
tamrix_send_fn *dTamrixSendProc;
tamrix_receive_fn *dTamrixReceiveProc;
tamrix_console_printf_fn *dTamrixConsolePrintfProc;
tamrix_time_fn *dTamrixGetTimeProc;

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

// The host's answer, unchanged; a miss writes "Warning: did not find body with
// DEF name: <name>" to the console (no newline), the name "(null)" for a null
// name.
tamrix_body_handle getBody(const char *def_name) {
  // A null name would reach the host's lookup and a %s conversion, both
  // undefined; treat it as a name no host has.
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  const tamrix_body_handle body =
      (lookup != nullptr && def_name != nullptr) ? lookup(def_name) : nullptr;
  if (body == nullptr) {
    tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
    if (print != nullptr) {
      // The name is an argument, never the format: DEF names are the host
      // user's text and may hold conversions.
      print("Warning: did not find body with DEF name: %s",
            def_name != nullptr ? def_name : "(null)");
    }
  }
  return body;
}

}  // extern "C"
