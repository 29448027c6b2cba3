/* A plug-in that ends the process in one hook, in the way its macro names:
   ENDING_EXIT, ENDING__EXIT, ENDING_QUICK_EXIT, ENDING_EXIT_GROUP (the system
   call itself), ENDING_PTHREAD_EXIT (of the main thread, with a thread of its
   own left running), ENDING_CANCEL (the main thread cancels itself) or
   ENDING_EXECVE, in the hook named by ENDING_IN_STEP (else init). Built with
   the kit's service table. */
#ifndef _WIN32
/* _exit() and syscall() are not C11. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _GNU_SOURCE
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#include <stdlib.h>

#if defined(ENDING_PTHREAD_EXIT) || defined(ENDING_CANCEL)
/* Keeps the process alive once the main thread has gone. */
static void *wait_forever(void *unused) {
  (void)unused;
  for (;;) {
    pause();
  }
  return NULL;
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
  pthread_t other;
  pthread_create(&other, NULL, wait_forever, NULL);
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
