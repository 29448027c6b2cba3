/* Plug-ins that do what looks like a fault and is not: each tidies up after
   itself within its life, so plugin-check --strict must pass it. One SOUND_*
   macro per build picks what it does. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

#include "tamrix_physics.h"

#ifdef SOUND_ENGINE_OBJECTS
#include <ode/ode.h>
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

#ifdef SOUND_WORKER
/* A worker that integrates in the background, told to stop and joined in
   cleanup. */
static pthread_t worker;
static int worker_running;
static int stop_asked;
static pthread_mutex_t jobs_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t jobs_ready = PTHREAD_COND_INITIALIZER;

static void *work(void *unused) {
  (void)unused;
  pthread_mutex_lock(&jobs_lock);
  while (!stop_asked) {
    pthread_cond_wait(&jobs_ready, &jobs_lock);
  }
  pthread_mutex_unlock(&jobs_lock);
  return NULL;
}
#endif

#ifdef SOUND_TIMER
/* A timer whose expiry runs on a thread of the C library's, deleted in
   cleanup once it has fired. */
static timer_t timer;
static int timer_made;
static pthread_mutex_t fired_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t fired_signal = PTHREAD_COND_INITIALIZER;
static int fired;

static void on_expiry(union sigval unused) {
  (void)unused;
  pthread_mutex_lock(&fired_lock);
  fired = 1;
  pthread_cond_signal(&fired_signal);
  pthread_mutex_unlock(&fired_lock);
}
#endif

#ifdef SOUND_THREAD_LOCAL
/* Scratch space per calling thread, so steps on several threads never share it. */
static _Thread_local double scratch[64];
static volatile double last_sum;
#endif

#ifdef SOUND_SIGNAL_AROUND
/* A probe that may fault, guarded by a handler that is there only for the call. */
static volatile sig_atomic_t probed;
static void on_probe_fault(int number) { probed = number; }
#endif

#ifdef SOUND_ENGINE_OBJECTS
/* A tether of its own between a body it makes and the host's "arm". */
static dBodyID weight;
static dGeomID weight_shape;
static dGeomID arm_marker; /* on the host's body, in the host's space */
static dSpaceID own_space;
static dJointID tether;
#endif

void tamrix_physics_init(void) {
#ifdef SOUND_SIGNAL_AROUND
  /* The host's crash handler is put back whole, flags and all, before init
     returns; a signal the host left at its default goes back to it by
     signal(), whose flags mean nothing for a default action. */
  struct sigaction guard;
  struct sigaction host_action;
  memset(&guard, 0, sizeof guard);
  guard.sa_handler = on_probe_fault;
  sigemptyset(&guard.sa_mask);
  if (sigaction(SIGFPE, &guard, &host_action) == 0) {
    probed = 0;
    sigaction(SIGFPE, &host_action, NULL);
  }
  void (*const host_handler)(int) = signal(SIGUSR2, on_probe_fault);
  if (host_handler != SIG_ERR) {
    probed = 0;
    signal(SIGUSR2, host_handler);
  }
#endif
#ifdef SOUND_WORKER
  if (!worker_running) {
    stop_asked = 0;
    worker_running = pthread_create(&worker, NULL, work, NULL) == 0;
  }
#endif
#ifdef SOUND_TIMER
  struct sigevent notify;
  if (timer_made) {
    return;
  }
  memset(&notify, 0, sizeof notify);
  notify.sigev_notify = SIGEV_THREAD;
  notify.sigev_notify_function = on_expiry;
  fired = 0;
  timer_made = timer_create(CLOCK_MONOTONIC, &notify, &timer) == 0;
  if (timer_made) {
    const struct itimerspec soon = {{0, 0}, {0, 1000000}};
    timer_settime(timer, 0, &soon, NULL);
    /* Fired before init returns: the thread the C library starts for it
       allocates, which step must not be seen to do. */
    struct timespec limit;
    clock_gettime(CLOCK_REALTIME, &limit);
    ++limit.tv_sec;
    pthread_mutex_lock(&fired_lock);
    while (!fired && pthread_cond_timedwait(&fired_signal, &fired_lock, &limit) == 0) {
    }
    pthread_mutex_unlock(&fired_lock);
  }
#endif
#ifdef SOUND_ENGINE_OBJECTS
  const dBodyID arm = (dBodyID)(void *)getBody("arm");
  if (arm == NULL || weight != NULL) {
    return;
  }
  weight = dBodyCreate(dBodyGetWorld(arm));
  own_space = dSimpleSpaceCreate(NULL);
  weight_shape = dCreateSphere(own_space, 0.1);
  dGeomSetBody(weight_shape, weight);
  arm_marker = dCreateSphere(dGeomGetSpace(dBodyGetFirstGeom(arm)), 0.05);
  dGeomSetBody(arm_marker, arm);
  tether = dJointCreateBall(dBodyGetWorld(arm), NULL);
  dJointAttach(tether, arm, weight);
#endif
}

void tamrix_physics_step(void) {
#ifdef SOUND_THREAD_LOCAL
  double sum = 0;
  for (size_t i = 0; i < sizeof scratch / sizeof scratch[0]; ++i) {
    scratch[i] += (double)i;
    sum += scratch[i];
  }
  last_sum = sum;
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {
#ifdef SOUND_WORKER
  if (worker_running) {
    pthread_mutex_lock(&jobs_lock);
    stop_asked = 1;
    pthread_cond_signal(&jobs_ready);
    pthread_mutex_unlock(&jobs_lock);
    pthread_join(worker, NULL);
    worker_running = 0;
  }
#endif
#ifdef SOUND_TIMER
  if (timer_made) {
    pthread_mutex_lock(&fired_lock);
    /* A second is ample for a millisecond's timer; a host that never runs
       the notification must not hang cleanup. */
    struct timespec limit;
    clock_gettime(CLOCK_REALTIME, &limit);
    ++limit.tv_sec;
    while (!fired && pthread_cond_timedwait(&fired_signal, &fired_lock, &limit) == 0) {
    }
    pthread_mutex_unlock(&fired_lock);
    timer_delete(timer);
    timer_made = 0;
  }
#endif
#ifdef SOUND_ENGINE_OBJECTS
  if (weight != NULL) {
    dJointDestroy(tether);
    dGeomDestroy(weight_shape);
    dGeomDestroy(arm_marker);
    dSpaceDestroy(own_space);
    dBodyDestroy(weight);
    weight = NULL;
  }
#endif
}
