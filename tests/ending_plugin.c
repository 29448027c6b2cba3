/* A plug-in that ends the process in one hook, in the way its macro names:
   ENDING_EXIT, ENDING__EXIT, ENDING_QUICK_EXIT, ENDING_EXIT_GROUP (the system
   call itself), ENDING_PTHREAD_EXIT (of the main thread, with a thread of its
   own left running), ENDING_CANCEL (the main thread cancels itself) or
   ENDING_EXECVE, in the hook named by ENDING_IN_STEP (else init). Built with
   the kit's service table. */
#ifndef _WIN32
/* _exit() and syscall() are not C11. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _GNU_SOURCE
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#include <stdlib.h>

#if defined(ENDING_PTHREAD_EXIT) || defined(ENDING_CANCEL)
#include <time.h>

/* Keeps the process alive once the main thread has gone. It says when it
   runs, and the main thread ends only then: a cancelled main thread unwinds
   the host's frames, which unload the plug-in, and a thread not yet started
   would then start in unmapped code and crash the run before its end is
   seen. */
static pthread_mutex_t started_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t started_signal = PTHREAD_COND_INITIALIZER;
static int started;

static void *wait_forever(void *unused) {
  (void)unused;
  pthread_mutex_lock(&started_lock);
  started = 1;
  pthread_cond_signal(&started_signal);
  pthread_mutex_unlock(&started_lock);
  for (;;) {
    pause();
  }
  return NULL;
}

static void start_waiting_thread(void) {
  pthread_t other;
  pthread_create(&other, NULL, wait_forever, NULL);
  pthread_mutex_lock(&started_lock);
  while (!started) {
    pthread_cond_wait(&started_signal, &started_lock);
  }
  pthread_mutex_unlock(&started_lock);
  /* From its signal to its pause() are a few instructions of the plug-in's
     own; this is ample for them. */
  const struct timespec settle = {0, 50000000L};
  nanosleep(&settle, NULL);
}
#endif

#include "tamrix_physics.h"

static void end_process(void) {
#if defined(ENDING_EXIT)
  exit(0); /* NOLINT(concurrency-mt-unsafe): the fault itself */
#elif defined(ENDING__EXIT)
  _exit(0);
#elif defined(ENDING_QUICK_EXIT)
  quick_exit(0);
#elif defined(ENDING_EXIT_GROUP)
  syscall(SYS_exit_group, 0);
#elif defined(ENDING_PTHREAD_EXIT) || defined(ENDING_CANCEL)
  start_waiting_thread();
#if defined(ENDING_PTHREAD_EXIT)
  pthread_exit(NULL);
#else
  pthread_cancel(pthread_self());
  pthread_testcancel();
#endif
#elif defined(ENDING_EXECVE)
  char *const argv[] = {"true", NULL};
  char *const envp[] = {NULL};
  execve("/bin/true", argv, envp);
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
