// The hooks the host calls over a simulation's life. They add nothing to the
// host's physics: init makes the mutex and writes "not found" (no newline) to
// the console when the world has no body named "body1", step does nothing,
// collide answers 0 to every pair (null included), leaving it to the host's
// contacts, and cleanup destroys the mutex. Step and collide share nothing, so
// they need no lock on however many threads the host runs them.
#include <pthread.h>

#include "tamrix_physics.h"

namespace {

// Never locked: it only has to exist from init to cleanup. `mutex_live` keeps
// a host that repeats init or cleanup from re-initialising a live mutex or
// destroying a dead one, both undefined for POSIX threads.
pthread_mutex_t plugin_mutex;
bool mutex_live;

}  // namespace

extern "C" {

void tamrix_physics_init(void) {
  if (!mutex_live) {
    pthread_mutex_init(&plugin_mutex, nullptr);
    mutex_live = true;
  }
  // Straight to the host's lookup, not through getBody(): a missing "body1"
  // says "not found", never getBody()'s warning.
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  if (lookup == nullptr || lookup("body1") == nullptr) {
    tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
    if (print != nullptr) {
      print("not found");
    }
  }
}

void tamrix_physics_step(void) {}

int tamrix_physics_collide(tamrix_geom_handle /*first*/, tamrix_geom_handle /*second*/) {
  return 0;
}

void tamrix_physics_cleanup(void) {
  if (mutex_live) {
    pthread_mutex_destroy(&plugin_mutex);
    mutex_live = false;
  }
}

}  // extern "C"
