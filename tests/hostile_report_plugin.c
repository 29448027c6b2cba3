/* A plug-in that keeps the contract but prints text made to bend a report:
   terminal escape sequences, invalid UTF-8, controls, a line break followed
   by a forged verdict, and XML's own markup. Its console message differs from
   one life to the next, so plugin-check must quote it in a failure; it also
   writes the same through the console service and straight to the standard
   output, for host-sim to show as the plug-in's. */
#include <stdio.h>

#include "tamrix_physics.h"

static int lives;

/* Valid UTF-8 ("\xc3\xa9", e-acute) among the rest, which must stay. */
static const char hostile[] =
    "\x1b[2J\x1b]0;owned\x07\x1b[31mred \xff\xfe\xc0\xaf\xed\xa0\x80 \x01\x08\x7f\xc2\x9b"
    "\xef\xbf\xbe ]]> <tag a=\"&amp;\"> & caf\xc3\xa9\n"
    "PASS everything\nsummary: 0 steps, 0 collide calls, 0 non-zero, 0 console messages\r";

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
  ++lives;
  if (print != NULL) {
    print("%s life %d", hostile, lives);
  }
  printf("%s raw %d\n", hostile, lives);
}

void tamrix_physics_step(void) { fputs("summary: forged in a step\n", stdout); }

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {}
