/* A plug-in that ends the process in one hook, in the way its macro names:
   ENDING_EXIT, ENDING__EXIT or ENDING_QUICK_EXIT, in the hook named by
   ENDING_IN_STEP (else init). Built with the kit's service table. */
#ifndef _WIN32
/* _exit() is POSIX, not C11. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _POSIX_C_SOURCE 200809L
#include <unistd.h>
#endif
#include <stdlib.h>

#include "tamrix_physics.h"

static void end_process(void) {
#if defined(ENDING_EXIT)
  exit(0); /* NOLINT(concurrency-mt-unsafe): the fault itself */
#elif defined(ENDING__EXIT)
  _exit(0);
#elif defined(ENDING_QUICK_EXIT)
  quick_exit(0);
#endif
}

tamrix_body_handle getBody(const char *def_name) {
  (void)def_name;
  return NULL;
}

void tamrix_physics_init(void) {
#ifndef ENDING_IN_STEP
  end_process();
#endif
}

void tamrix_physics_step(void) {
#ifdef ENDING_IN_STEP
  end_process();
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {}
