/* Plug-ins that behave in every small world and fail in a crowded one: one
   CROWDED_* macro per build picks the fault.

   Without the engine, collide counts its calls at each step, and notes each
   geometry it meets in a table of 64. CROWDED_TABLE_OVERRUN adds a geometry
   without asking whether there is room: the 65th lands on the pointer to
   the step's count, which the same call then writes through.
   CROWDED_SOUND_TABLE stops noting at 64 and must pass --strict.

   With the engine (CROWDED_ENGINE), step pulls each body of the space back
   toward the height it had when the plug-in first saw it, a soft spring,
   keeping the heights in 64 slots. CROWDED_NAN_SLOT takes a body with no
   slot to have no height known, NaN, and pushes it with a NaN force.
   CROWDED_SOUND_SLOTS leaves such a body alone and must pass --strict.
   Collide slows a body on a fixed surface by a grip of its kind;
   CROWDED_MESH_UNLISTED gives a kind it does not list, a triangle mesh,
   a NaN grip. */
#include <stddef.h>

#include "tamrix_physics.h"

enum { most_met = 64 };

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

#ifdef CROWDED_ENGINE
#include <math.h>
#include <ode/ode.h>
#include <pthread.h>

static const double stiffness = 0.5; /* N per m below the first height */
static dSpaceID space;
static dBodyID slot_body[most_met];
static double slot_height[most_met];
static int slots_used;
/* Step and collide may run on several threads at once; the slots, the
   space's walk and the bodies' forces are not safe to share unguarded. */
static pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;

void tamrix_physics_init(void) {
  space = NULL;
  slots_used = 0;
}

/* The body's slot, made the first time it is seen; -1 when none is left. */
static int slot_of(dBodyID body) {
  int i;
  for (i = 0; i < slots_used; ++i) {
    if (slot_body[i] == body) {
      return i;
    }
  }
  if (slots_used == most_met) {
    return -1;
  }
  slot_body[slots_used] = body;
  slot_height[slots_used] = dBodyGetPosition(body)[2];
  return slots_used++;
}

void tamrix_physics_step(void) {
  int i;
  pthread_mutex_lock(&guard);
  for (i = 0; space != NULL && i < dSpaceGetNumGeoms(space); ++i) {
    const dBodyID body = dGeomGetBody(dSpaceGetGeom(space, i));
    int slot;
    double height;
    if (body == NULL) {
      continue;
    }
    slot = slot_of(body);
#ifdef CROWDED_NAN_SLOT
    height = slot >= 0 ? slot_height[slot] : NAN; /* no height known */
#else
    if (slot < 0) {
      continue;
    }
    height = slot_height[slot];
#endif
    dBodyAddForce(body, 0, 0, stiffness * (height - dBodyGetPosition(body)[2]));
  }
  pthread_mutex_unlock(&guard);
}

/* How firmly each kind of fixed surface holds a body on it. */
static double grip_of(dGeomID surface) {
  switch (dGeomGetClass(surface)) {
    case dPlaneClass:
      return 0.2;
    case dBoxClass:
      return 0.3;
    default:
#ifdef CROWDED_MESH_UNLISTED
      return NAN; /* every surface a world has is listed above, the author thought */
#else
      return 0.1;
#endif
  }
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  const dGeomID one = (dGeomID)(void *)first;
  const dGeomID other = (dGeomID)(void *)second;
  const dBodyID body = dGeomGetBody(one) != NULL ? dGeomGetBody(one) : dGeomGetBody(other);
  const dGeomID surface = dGeomGetBody(one) == NULL ? one : other;
  pthread_mutex_lock(&guard);
  if (space == NULL) {
    space = dGeomGetSpace(one);
  }
  /* A body on a fixed surface is slowed by its grip. */
  if (body != NULL && dGeomGetBody(surface) == NULL) {
    const dReal *const velocity = dBodyGetLinearVel(body);
    const double grip = grip_of(surface);
    dBodyAddForce(body, -grip * velocity[0], -grip * velocity[1], 0);
  }
  pthread_mutex_unlock(&guard);
  return 0;
}

void tamrix_physics_cleanup(void) {
  pthread_mutex_lock(&guard);
  space = NULL;
  pthread_mutex_unlock(&guard);
}

#else
static long calls_per_step[2];
static long steps;
/* The table and where this step's calls are counted, side by side. */
static struct {
  tamrix_geom_handle met[most_met];
  long *count;
} table;
static int met_count;

void tamrix_physics_init(void) {
  met_count = 0;
  steps = 0;
  table.count = &calls_per_step[0];
}

void tamrix_physics_step(void) {
  ++steps;
  table.count = &calls_per_step[steps % 2];
  *table.count = 0;
}

static void note_met(tamrix_geom_handle geometry) {
  int i;
  for (i = 0; i < met_count; ++i) {
    if (table.met[i] == geometry) {
      return;
    }
  }
#ifndef CROWDED_TABLE_OVERRUN
  if (met_count == most_met) {
    return;
  }
#endif
  table.met[met_count++] = geometry;
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  note_met(first);
  note_met(second);
  if (table.count != NULL) {
    ++*table.count;
  }
  return 0;
}

void tamrix_physics_cleanup(void) { table.count = NULL; }
#endif
