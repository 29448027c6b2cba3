/*
 * A host written in C and linked to the plug-in at build time: it fills the
 * service table by plain assignment, as any code in the process may, and
 * checks the hooks use what it stored. Exit status 0 means all held.
 */
#include <stdio.h>
#include <string.h>

#include "tamrix_physics.h"

static int failures;
static int prints;
static char last_format[64];
static struct tamrix_body *const arm = (struct tamrix_body *)&failures;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "linked host: %s\n", what);
    ++failures;
  }
}

static tamrix_body_handle lookup(const char *def_name) {
  return strcmp(def_name, "arm") == 0 ? arm : NULL;
}

static void print(const char *format, ...) {
  ++prints;
  snprintf(last_format, sizeof last_format, "%s", format);
}

int main(void) {
  check(dTamrixGetBodyFromDEFProc == NULL && dTamrixConsolePrintfProc == NULL,
        "the table is not null at start");

  dTamrixGetBodyFromDEFProc = lookup;
  dTamrixConsolePrintfProc = print;
  tamrix_physics_init();
  check(prints == 1 && strcmp(last_format, "not found") == 0, "init did not use the stored rows");

  check(getBody("arm") == arm, "getBody did not return the host's handle");
  check(getBody("ghost") == NULL, "getBody found a body the host does not have");
  check(prints == 2 && strcmp(last_format, "Warning: did not find body with DEF name: %s") == 0,
        "getBody did not warn through the stored printer");

  tamrix_physics_step();
  check(tamrix_physics_collide(NULL, NULL) == 0, "collide did not answer 0");
  tamrix_physics_cleanup();

  physics_special_init(NULL, NULL, NULL, NULL, NULL, NULL, NULL);
  check(dTamrixGetBodyFromDEFProc == NULL, "set-up did not overwrite an assigned row");
  if (failures == 0) {
    puts("linked host: all checks held");
  }
  return failures == 0 ? 0 : 1;
}
