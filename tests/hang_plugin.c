/* A plug-in that hangs, in the way its macro names: HANG_LOOP (step 3 never
   returns), HANG_STOP (step 3 stops the process with SIGSTOP), HANG_LOAD
   (the library's constructor waits for a worker that was never started) or
   HANG_UNLOAD (cleanup returns, and the library's destructor then waits the
   same way). With CHATTY it does not hang: step 3 writes 256 KiB to the
   console, more than a pipe holds, and so waits on a slow reader. Built with
   the kit's service table. */
#include <signal.h>

#include "tamrix_physics.h"

#if defined(HANG_LOAD) || defined(HANG_UNLOAD) || defined(HANG_LOOP)
static volatile int released; /* nothing ever sets it */
#endif

#ifdef HANG_LOAD
__attribute__((constructor)) static void start_worker(void) {
  while (!released) {
  }
}
#endif

#ifdef HANG_UNLOAD
__attribute__((destructor)) static void stop_worker(void) {
  while (!released) {
  }
}
#endif

tamrix_body_handle getBody(const char *def_name) {
  (void)def_name;
  return NULL;
}

void tamrix_physics_init(void) {}

void tamrix_physics_step(void) {
  static int steps;
  if (++steps < 3) {
    return;
  }
#if defined(HANG_LOOP)
  while (!released) {
  }
#elif defined(HANG_STOP)
  raise(SIGSTOP);
#elif defined(CHATTY)
  for (int line = 0; line < 4096; ++line) {
    dTamrixConsolePrintfProc("%s",
                             "a line of the plug-in's, one of many, written in step 3, for a "
                             "reader that reads slowly");
  }
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {}
