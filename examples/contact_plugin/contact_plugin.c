/* An example Tamrix physics plug-in, to copy and start from. It claims every
   pair with the floor in collide, answers "ping" on channel 1 with "pong" on
   channel 2, and prints its step count and the host's time at cleanup.

   What collide's answer means: 0 leaves the pair to the host, which makes
   the contacts itself; non-zero says the plug-in has dealt with the pair, so
   the host makes no contact for it. This plug-in makes none either (it never
   touches the engine), so in a host with physics the floor would stop
   nothing and bodies would fall through it: copy it for the messages and the
   life, not for the collisions. examples/physics_plugin makes its own
   contacts in the host's contact group. The service table and physics_special_init come from the
   kit (tamrix_add_physics_plugin(... SERVICE_TABLE ...)); this file holds only getBody and the four
   hooks.

   A host may leave out any service, so every row is read once into a local
   and tested before it is called. */
#include <string.h>

#include "tamrix_physics.h"

enum { ping_channel = 1, pong_channel = 2 };

/* The floor of the world now running: looked up at init, forgotten at
   cleanup, since a host that reloads its world hands out new handles. */
static tamrix_geom_handle floor_geom;
static long steps_run;

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  tamrix_geom_lookup_fn *const geom_lookup = dTamrixGetGeomFromDEFProc;
  tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
  floor_geom = geom_lookup != NULL ? geom_lookup("floor") : NULL;
  steps_run = 0;
  if (getBody("body1") == NULL && print != NULL) {
    print("not found");
  }
}

void tamrix_physics_step(void) {
  tamrix_receive_fn *const receive = dTamrixReceiveProc;
  tamrix_send_fn *const send = dTamrixSendProc;
  ++steps_run;
  if (receive == NULL) {
    return;
  }
  /* Everything waiting, oldest first; the host keeps each buffer valid only
     until the next receive. */
  for (;;) {
    size_t size = 0;
    const void *data = receive(ping_channel, &size);
    if (data == NULL) {
      break;
    }
    if (size == 4 && memcmp(data, "ping", 4) == 0 && send != NULL) {
      send(pong_channel, "pong", 4);
    }
  }
}

/* Non-zero claims the pair: the host adds no contacts of its own for it. */
int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  return floor_geom != NULL && (first == floor_geom || second == floor_geom) ? 1 : 0;
}

void tamrix_physics_cleanup(void) {
  tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
  tamrix_time_fn *const time = dTamrixGetTimeProc;
  if (print != NULL) {
    print("steps: %ld, time: %g", steps_run, time != NULL ? time() : 0.0);
  }
  floor_geom = NULL;
}
