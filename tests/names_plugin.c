/* Plug-ins that behave in a world without the body they look for, as
   plugin-check's worlds were, and misbehave once the host has it: one
   NAMES_* macro per build picks the fault. Each looks up "body1" in init,
   as my_physics1 does, and says "not found" on a miss; what it does with a
   body it found is where each fault lies. NAMES_SOUND (and, with the engine,
   NAMES_SOUND_ENGINE) does it soundly and must pass --strict. */
#include <stddef.h>
#include <stdlib.h>

#include "tamrix_physics.h"

#ifdef NAMES_ENGINE
#include <ode/ode.h>
#endif

static tamrix_body_handle body1;

#ifdef NAMES_KEEPS_RECORD
/* What the plug-in knows of the body, made afresh by every init that finds
   it; only the handle is let go at cleanup. */
struct record {
  tamrix_body_handle body;
  double gain;
};
static struct record *record;
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
  body1 = getBody("body1");
  if (body1 == NULL) {
    if (print != NULL) {
      print("not found");
    }
    return;
  }
#if defined(NAMES_KEEPS_RECORD)
  record = malloc(sizeof *record);
  if (record != NULL) {
    record->body = body1;
    record->gain = 1.0;
  }
#elif defined(NAMES_FLUSH_TO_ZERO)
  /* The robot's controller is slow on denormals: flushed to zero while it
     runs, with no function called that a reader of imports would see, and
     never set back. */
#if defined(__x86_64__)
  {
    unsigned int mxcsr;
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
    mxcsr |= 0x8040U;
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
  }
#elif defined(__aarch64__)
  {
    unsigned long fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr |= 1UL << 24U;
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
  }
#endif
#elif defined(NAMES_READS_HANDLE)
  {
    /* A handle taken for the engine's body, in a plug-in built without the
       engine: its first field read as a mass. */
    const volatile double *const mass = (const volatile double *)(void *)body1;
    if (*mass <= 0 && print != NULL) {
      print("body1 has no mass");
    }
  }
#elif defined(NAMES_READS_TIP)
  {
    /* The body's tip, asked for only once there is a body, read as above. */
    tamrix_geom_lookup_fn *const geometry = dTamrixGetGeomFromDEFProc;
    const volatile double *const tip =
        geometry != NULL ? (const volatile double *)(void *)geometry("tip") : NULL;
    if (tip != NULL && *tip <= 0 && print != NULL) {
      print("tip has no length");
    }
  }
#elif defined(NAMES_FLOATS_BODY)
  /* The robot hovers while the plug-in lives; cleanup forgets to land it. */
  dBodySetGravityMode((dBodyID)(void *)body1, 0);
#endif
}

void tamrix_physics_step(void) {
#ifdef NAMES_KEEPS_RECORD
  if (record != NULL) {
    record->gain *= 0.5;
  }
#endif
#ifdef NAMES_ENGINE
  if (body1 != NULL) {
    dBodyAddForce((dBodyID)(void *)body1, 0, 0, 0.1);
  }
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) { body1 = NULL; }
