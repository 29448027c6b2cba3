/* A small plug-in that keeps the contract, and with one BROKEN_* macro defined
   the one fault of that name: each is a mistake plug-in authors really make,
   for plugin-check to catch. */
/* sched_yield() is POSIX, not C99. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _POSIX_C_SOURCE 200809L
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tamrix_physics.h"

/* A fault in the table itself needs a table of its own (the build defines
   BROKEN_OWN_TABLE for those); every other build takes the kit's, as
   tamrix_add_physics_plugin(... SERVICE_TABLE ...) gives it to authors. */
#if defined(BROKEN_ROW_DEFAULTS) || defined(BROKEN_CONSTRUCTOR)
/* A "safe default" so the plug-in can print before set-up. */
static void fallback_printf(const char *format, ...) { (void)format; }
#endif
#ifdef BROKEN_OWN_TABLE
#ifdef BROKEN_ROW_DEFAULTS
tamrix_console_printf_fn *dTamrixConsolePrintfProc = fallback_printf;
#else
tamrix_console_printf_fn *dTamrixConsolePrintfProc;
#endif
tamrix_geom_lookup_fn *dTamrixGetGeomFromDEFProc;
tamrix_body_lookup_fn *dTamrixGetBodyFromDEFProc;
tamrix_contact_group_fn *dTamrixGetContactJointGroupProc;
tamrix_send_fn *dTamrixSendProc;
tamrix_receive_fn *dTamrixReceiveProc;
tamrix_time_fn *dTamrixGetTimeProc;
#endif

#ifdef BROKEN_PRIVATE_COPY
/* Saves a load per call, and misses a host that swaps the service later. */
static tamrix_body_lookup_fn *saved_lookup;
#define BODY_LOOKUP saved_lookup
#else
#define BODY_LOOKUP dTamrixGetBodyFromDEFProc
#endif

#ifdef BROKEN_OWN_TABLE
void physics_special_init(tamrix_geom_lookup_fn *geom_lookup, tamrix_body_lookup_fn *body_lookup,
                          tamrix_contact_group_fn *contact_group, tamrix_send_fn *send,
                          tamrix_receive_fn *receive, tamrix_console_printf_fn *console_printf,
                          tamrix_time_fn *time) {
  dTamrixGetGeomFromDEFProc = geom_lookup;
  dTamrixGetBodyFromDEFProc = body_lookup;
  dTamrixGetContactJointGroupProc = contact_group;
  dTamrixSendProc = send;
  dTamrixReceiveProc = receive;
#ifdef BROKEN_KEEPS_OLD_ROWS
  /* Never lose a working printer to a null one. */
  if (console_printf != NULL) {
    dTamrixConsolePrintfProc = console_printf;
  }
#else
  dTamrixConsolePrintfProc = console_printf;
#endif
  dTamrixGetTimeProc = time;
#ifdef BROKEN_PRIVATE_COPY
  saved_lookup = body_lookup;
#endif
}
#endif

#ifndef BROKEN_NO_GET_BODY
tamrix_body_handle getBody(const char *def_name) {
#ifdef BROKEN_NAME_STRLEN
  /* The empty name is never a body. */
  /* cppcheck-suppress nullPointerRedundantCheck ; the fault itself */
  if (strlen(def_name) == 0) {
    return NULL;
  }
#endif
#ifdef BROKEN_UNGUARDED_ROWS
  tamrix_body_handle body = dTamrixGetBodyFromDEFProc(def_name);
  if (body == NULL) {
    dTamrixConsolePrintfProc("no body named %s", def_name);
  }
#else
  tamrix_body_lookup_fn *lookup = BODY_LOOKUP;
  tamrix_console_printf_fn *print = dTamrixConsolePrintfProc;
  tamrix_body_handle body = def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
  if (body == NULL && print != NULL) {
#ifdef BROKEN_NAME_AS_FORMAT
    print("no body named ");
    print(def_name);
#else
    print("no body named %s", def_name != NULL ? def_name : "(null)");
#endif
  }
#endif
  return body;
}
#endif

#ifdef BROKEN_CLEANUP_TWICE
static int world_state;
static int *volatile live_state;
#endif
#ifdef BROKEN_CRASH_IN_INIT
static volatile char robot_kind;
#endif

void tamrix_physics_init(void) {
#ifdef BROKEN_CLEANUP_TWICE
  live_state = &world_state;
#endif
#ifdef BROKEN_EXIT_IN_INIT
  /* Treats a world without its robot as fatal, and takes the host down with it. */
  if (dTamrixGetBodyFromDEFProc("body1") == NULL) {
    exit(1); /* NOLINT(concurrency-mt-unsafe): the fault itself */
  }
#endif
#ifdef BROKEN_CRASH_IN_INIT
  /* Assumes every world has its robot. */
  robot_kind = *(const volatile char *)dTamrixGetBodyFromDEFProc("body1");
#endif
}

#ifdef BROKEN_THREAD_GUARD
/* A re-entrancy guard written for a host that was assumed to be single-threaded. */
static volatile int stepping;
#endif

void tamrix_physics_step(void) {
#ifdef BROKEN_THREAD_GUARD
  if (stepping) {
    abort();
  }
  stepping = 1;
  sched_yield(); /* stands for the step's work, long enough for another thread to come in */
  stepping = 0;
#endif
#ifdef BROKEN_CHATTY_STEP
  if (dTamrixConsolePrintfProc != NULL) {
    dTamrixConsolePrintfProc("step");
  }
#endif
}

#ifdef BROKEN_HEAP_IN_COLLIDE
static void *volatile contacts;
#endif

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
#ifdef BROKEN_PRINTF_IN_COLLIDE
  printf("collide\n"); /* a leftover from debugging */
#endif
#ifdef BROKEN_HEAP_IN_COLLIDE
  contacts = malloc(16 * sizeof(double));
  free(contacts);
#endif
  return 0;
}

#ifdef BROKEN_HANG_IN_CLEANUP
static volatile int worker_stopped; /* set by a worker thread that was never started */
#endif

void tamrix_physics_cleanup(void) {
#ifdef BROKEN_HANG_IN_CLEANUP
  while (!worker_stopped) {
  }
#endif
#ifdef BROKEN_CLEANUP_TWICE
  *live_state = 0;
  live_state = NULL;
#endif
}

#ifdef BROKEN_EXTRA_EXPORT
TAMRIX_PHYSICS_EXPORT int debug_level; /* left visible for a debugger */
#endif

#ifdef BROKEN_CONSTRUCTOR
/* Code at load: runs inside the host before it asked for anything. */
__attribute__((constructor)) static void install_fallback(void) {
  /* Read through a volatile so the compiler cannot fold the store into the
     row's initial value and drop the constructor. */
  tamrix_console_printf_fn *volatile fallback = fallback_printf;
  dTamrixConsolePrintfProc = fallback;
}
#endif
