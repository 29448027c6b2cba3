/* Plug-ins that survive step and collide on 8 threads and still give wrong
   answers there, or leave contacts and pushes a host cannot step with: one
   ANSWERS_* macro per build picks the fault. With ANSWERS_SOUND it does the
   same work under a lock of its own, with friction that never slips (an
   infinite mu, which the engine allows) and fields the contact's mode leaves
   unread holding NaN, and must pass --strict. Built without the engine
   (ANSWERS_LOOKUP_CACHE, ANSWERS_SHARED_VERDICT, ANSWERS_LOOKUP_IN_STEP,
   ANSWERS_LOOKUP_IN_COLLIDE and their sound twin ANSWERS_SOUND_STUB), it is checked in a world with
   no engine part. */
#include <math.h>
#include <pthread.h>
#include <stddef.h>
#include <string.h>

#include "tamrix_physics.h"

/* The three faults of a lock left out, each in the hook it names: 1 leaves
   that hook's lock out. */
#ifdef ANSWERS_UNGUARDED_PUSH
#define STEP_UNGUARDED 1
#else
#define STEP_UNGUARDED 0
#endif
#ifdef ANSWERS_UNGUARDED_CONTACTS
#define COLLIDE_UNGUARDED 1
#else
#define COLLIDE_UNGUARDED 0
#endif
#ifdef ANSWERS_LOOKUP_CACHE
#define LOOKUP_UNGUARDED 1
#else
#define LOOKUP_UNGUARDED 0
#endif
#ifdef ANSWERS_SHARED_VERDICT
#define VERDICT_UNGUARDED 1
#else
#define VERDICT_UNGUARDED 0
#endif
#if defined(ANSWERS_LOOKUP_CACHE) || defined(ANSWERS_SHARED_VERDICT) || \
    defined(ANSWERS_SOUND_STUB) || defined(ANSWERS_LOOKUP_IN_STEP) ||   \
    defined(ANSWERS_LOOKUP_IN_COLLIDE)
#define STUB_WORLD
#endif

static pthread_mutex_t state_mutex = PTHREAD_MUTEX_INITIALIZER;

static void lock(int unguarded) {
  if (!unguarded) {
    pthread_mutex_lock(&state_mutex);
  }
}

static void unlock(int unguarded) {
  if (!unguarded) {
    pthread_mutex_unlock(&state_mutex);
  }
}

#ifdef STUB_WORLD
/* The last name looked up and its answer, to spare the host a lookup: the
   name is claimed before the host answers, so another thread asking for the
   same name meanwhile takes the answer of the name before it. */
static char cached_name[64]; /* a copy: the host's string is its own */
static int name_cached;
static tamrix_body_handle cached_body;

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  tamrix_body_handle found;
  if (def_name == NULL || lookup == NULL) {
    return NULL;
  }
  lock(LOOKUP_UNGUARDED);
  if (name_cached && strcmp(cached_name, def_name) == 0) {
    found = cached_body;
  } else if (strlen(def_name) < sizeof cached_name) {
    strcpy(cached_name, def_name); /* NOLINT(clang-analyzer-security.insecureAPI.strcpy): fits */
    name_cached = 1;
    cached_body = lookup(def_name);
    found = cached_body;
  } else {
    found = lookup(def_name);
  }
  unlock(LOOKUP_UNGUARDED);
  return found;
}

static tamrix_geom_handle floor_geometry;
/* Collide's answer, worked out where every call keeps it: another thread's
   pair may write its own before this call returns it. */
static int verdict;

void tamrix_physics_init(void) {
  tamrix_geom_lookup_fn *const lookup = dTamrixGetGeomFromDEFProc;
  name_cached = 0;
  floor_geometry = lookup != NULL ? lookup("floor") : NULL;
}

#ifdef ANSWERS_LOOKUP_IN_STEP
/* Step keeps the cache fresh for the body it acts on, but outside the lock
   getBody takes: beside other steps it writes the same name and body each
   time, and lookups alone are guarded; a lookup of another name beside it
   may take arm's body for its answer. */
void tamrix_physics_step(void) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  if (lookup != NULL) {
    strcpy(cached_name, "arm"); /* NOLINT(clang-analyzer-security.insecureAPI.strcpy): fits */
    name_cached = 1;
    cached_body = lookup("arm");
  }
}
#else
void tamrix_physics_step(void) {}
#endif

/* Every pair with the floor is dealt with, while the host still has a floor,
   which it is asked at every call: the verdict is read again after the
   host's code, from where another thread's pair may have put its own. */
/* cppcheck-suppress [constParameter] ; the contract's signature */
int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  tamrix_geom_lookup_fn *const lookup = dTamrixGetGeomFromDEFProc;
  int answer;
#ifdef ANSWERS_LOOKUP_IN_COLLIDE
  {
    /* Collide keeps the cache fresh for the body it pushes off the floor,
       outside getBody's lock, as step does in ANSWERS_LOOKUP_IN_STEP. */
    tamrix_body_lookup_fn *const body_lookup = dTamrixGetBodyFromDEFProc;
    if (body_lookup != NULL) {
      strcpy(cached_name, "arm"); /* NOLINT(clang-analyzer-security.insecureAPI.strcpy): fits */
      name_cached = 1;
      cached_body = body_lookup("arm");
    }
  }
#endif
  lock(VERDICT_UNGUARDED);
  verdict = first == floor_geometry || second == floor_geometry;
  if (lookup != NULL && lookup("floor") == NULL) {
    verdict = 0;
  }
  answer = verdict;
  unlock(VERDICT_UNGUARDED);
  return answer;
}

void tamrix_physics_cleanup(void) {
  name_cached = 0;
  floor_geometry = NULL;
}

#else
#include <ode/ode.h>

enum { most_contacts = 4, flood = 20000 };

static dBodyID arm;
static dJointGroupID contact_group;
/* The flood's contacts, made once, at init: a call that makes 20,000 needs
   room for them that no step should allocate. */
#ifdef ANSWERS_MANY_CONTACTS
static dContact flood_contacts[flood];
#endif
#ifdef ANSWERS_SHARED_BUFFER
/* Room for a pair's contacts, made once rather than on each call's stack,
   and filled before the lock is taken: another thread's pair may fill it
   again before this call makes its contacts from it. */
static dContact shared_contacts[most_contacts];
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  tamrix_contact_group_fn *const group = dTamrixGetContactJointGroupProc;
  arm = (dBodyID)(void *)getBody("arm");
  contact_group = group != NULL ? (dJointGroupID)(void *)group() : NULL;
}

/* A controller that reads the push so far, works out its own and writes the
   sum back: a thread that does the same meanwhile has its push overwritten. */
void tamrix_physics_step(void) {
  const dReal *so_far;
  dReal push = 0;
  dReal x;
  dReal y;
  dReal z;
  int i;
  if (arm == NULL) {
    return;
  }
  lock(STEP_UNGUARDED);
  so_far = dBodyGetForce(arm);
  x = so_far[0];
  y = so_far[1];
  z = so_far[2];
  /* Some microseconds of work, as a controller's: the force read stays in
     use all that time. */
  for (i = 1; i <= 2000; ++i) {
    push += 1.0 / ((dReal)i * (dReal)i + fabs(z) * 1e-300);
  }
#ifdef ANSWERS_NAN_PUSH
  push = 0 * (dReal)INFINITY; /* a gain of 0 times an unbounded error */
#endif
  dBodySetForce(arm, x, y, z + push);
  unlock(STEP_UNGUARDED);
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  const dGeomID a = (dGeomID)(void *)first;
  const dGeomID b = (dGeomID)(void *)second;
  const dBodyID body_a = dGeomGetBody(a);
  const dBodyID body_b = dGeomGetBody(b);
#ifdef ANSWERS_SHARED_BUFFER
  dContact *const contacts = shared_contacts;
#else
  dContact own_contacts[most_contacts];
  dContact *const contacts = own_contacts;
#endif
  dContact *made_contacts = contacts;
  int made;
  int i;
  if (contact_group == NULL || (body_a == NULL && body_b == NULL)) {
    return 0;
  }
  made = dCollide(a, b, most_contacts, &contacts[0].geom, sizeof(dContact));
  /* Some microseconds of work per contact before the lock, as a friction
     model's, kept where the mode leaves it unread. */
  for (i = 0; i < made; ++i) {
    dReal grip = 0;
    int term;
    for (term = 1; term <= 500; ++term) {
      grip += contacts[i].geom.depth / ((dReal)term * (dReal)term + 1);
    }
    contacts[i].surface.mu2 = grip;
  }
  lock(COLLIDE_UNGUARDED);
#ifdef ANSWERS_EMPTIES_GROUP
  /* "Last step's contacts are stale": the host's own, made before, too. */
  dJointGroupEmpty(contact_group);
#endif
#ifdef ANSWERS_MANY_CONTACTS
  if (made > 0 && body_a == arm) {
    for (i = 0; i < flood; ++i) {
      flood_contacts[i] = contacts[i % made];
    }
    made_contacts = flood_contacts;
    made = flood;
  }
#endif
  for (i = 0; i < made; ++i) {
    dJointID joint;
    made_contacts[i].surface.mode = 0;
    made_contacts[i].surface.mu = dInfinity;
    made_contacts[i].surface.bounce = (dReal)NAN; /* unread: the mode has no bounce */
#ifdef ANSWERS_NAN_CONTACT
    /* The depth scaled by a stiffness worked out as 0/0. */
    made_contacts[i].geom.depth *= (dReal)NAN;
#endif
    joint = dJointCreateContact(dBodyGetWorld(body_a != NULL ? body_a : body_b), contact_group,
                                &made_contacts[i]);
    dJointAttach(joint, body_a, body_b);
  }
  unlock(COLLIDE_UNGUARDED);
  return 1;
}

void tamrix_physics_cleanup(void) {
  arm = NULL;
  contact_group = NULL;
}
#endif
