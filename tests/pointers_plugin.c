/* A plug-in that hands the process a pointer into itself and does not take
   it back: a name, a hook or a table entry, in a place no function of the
   host's reads back, so only a host that later follows it finds it gone.
   One POINTERS_* macro per build picks the place; POINTERS_RESTORES takes
   each back in cleanup and is sound. The GNU C library's places on Linux;
   on Windows the time zone's names and a signal handler, which the C runtime
   keeps in its own data. */
#ifdef _WIN32
#include <signal.h>
#else
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _GNU_SOURCE
#include <errno.h>
#include <error.h>
#include <pthread.h>
#include <search.h>
#endif
#include <stddef.h>
#include <time.h>

#include "tamrix_physics.h"

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

#ifdef _WIN32
#if defined(POINTERS_SIGNAL_HANDLER) || defined(POINTERS_RESTORES)
/* Ends the simulation cleanly on an interrupt. */
static void on_interrupt(int number) { (void)number; }
#endif
#if defined(POINTERS_RESTORES)
static void (*host_handler)(int);
static char *host_zone[2];
#endif
#else
#if defined(POINTERS_ERROR_HOOK) || defined(POINTERS_RESTORES)
/* Prints the plug-in's name before the C library's error messages. */
static void print_own_name(void) {}
#endif
#endif

#ifdef POINTERS_ATFORK_HANDLERS
/* Holds the simulation still while the host forks, and lets it go after. */
static volatile int forking;
static void before_fork(void) { forking = 1; }
static void after_fork(void) { forking = 0; }
#endif

#ifdef POINTERS_TABLE
/* A lookup table of the C library's, made once and never destroyed; its
   entries name the plug-in's own strings and state. */
static int table_made;
static double arm_state[4];
#endif

#if defined(POINTERS_RESTORES) && !defined(_WIN32)
static char *host_name;
static char *host_short_name;
static void (*host_error_hook)(void);
#endif

void tamrix_physics_step(void) {}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

#ifdef _WIN32
void tamrix_physics_init(void) {
#ifdef POINTERS_RESTORES
  host_zone[0] = tzname[0];
  host_zone[1] = tzname[1];
  host_handler = signal(SIGINT, on_interrupt);
#endif
#ifdef POINTERS_SIGNAL_HANDLER
  (void)signal(SIGINT, on_interrupt);
#endif
#if defined(POINTERS_TIME_ZONE_NAME) || defined(POINTERS_RESTORES)
  tzname[0] = (char *)"SIM";
  tzname[1] = (char *)"SIM";
#endif
}

void tamrix_physics_cleanup(void) {
#ifdef POINTERS_RESTORES
  tzname[0] = host_zone[0];
  tzname[1] = host_zone[1];
  (void)signal(SIGINT, host_handler == SIG_ERR ? SIG_DFL : host_handler);
#endif
}
#else
void tamrix_physics_init(void) {
#ifdef POINTERS_RESTORES
  host_name = program_invocation_name;
  host_short_name = program_invocation_short_name;
  host_error_hook = error_print_progname;
#endif
#if defined(POINTERS_PROGRAM_NAME) || defined(POINTERS_RESTORES)
  /* So that the C library's messages name the simulation. */
  program_invocation_name = (char *)"physics";
  program_invocation_short_name = (char *)"physics";
#endif
#if defined(POINTERS_ERROR_HOOK) || defined(POINTERS_RESTORES)
  error_print_progname = print_own_name;
#endif
#ifdef POINTERS_TIME_ZONE_NAME
  /* The simulation's clock has a zone of its own. */
  tzname[0] = (char *)"SIM";
  tzname[1] = (char *)"SIM";
#endif
#ifdef POINTERS_ATFORK_HANDLERS
  (void)pthread_atfork(before_fork, after_fork, after_fork);
#endif
#ifdef POINTERS_TABLE
  /* init never overlaps another call: the process-wide table is the
     plug-in's to fill there. */
  /* NOLINTBEGIN(concurrency-mt-unsafe) */
  if (!table_made && hcreate(8) != 0) {
    table_made = 1;
    ENTRY entry = {(char *)"arm", arm_state};
    (void)hsearch(entry, ENTER);
  }
  /* NOLINTEND(concurrency-mt-unsafe) */
#endif
}

void tamrix_physics_cleanup(void) {
#ifdef POINTERS_RESTORES
  program_invocation_name = host_name;
  program_invocation_short_name = host_short_name;
  error_print_progname = host_error_hook;
#endif
}
#endif
