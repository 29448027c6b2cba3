/* Plug-ins that reach beyond what a physics plug-in plainly needs, one thing
   each, and a sound control that stays within it. One REACH_* macro per build
   picks what it does, and none of it is a change the other checks read back:
   only the reach check names it. */
#ifdef _WIN32
#include <windows.h>
#else
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tamrix_physics.h"

/* Kept where the compiler cannot drop the calls that made it. */
static volatile double kept __attribute__((unused));

#ifdef REACH_RAW_SYSCALL
/* The process id straight from the kernel, past the C library: no import,
   no call a wrapper could count. */
static long raw_getpid(void) {
  long result = -1;
#if defined(__x86_64__)
  __asm__ volatile("syscall" : "=a"(result) : "a"((long)SYS_getpid) : "rcx", "r11", "memory");
#elif defined(__aarch64__)
  register long number __asm__("x8") = SYS_getpid;
  register long answer __asm__("x0");
  __asm__ volatile("svc #0" : "=r"(answer) : "r"(number) : "memory");
  result = answer;
#endif
  return result;
}
#endif

#ifdef REACH_FROM_A_THREAD
/* A helper thread of the plug-in's own, started and joined in init. */
static void *seed(void *unused) {
  (void)unused;
  srand(11); /* NOLINT(cert-msc32-c,cert-msc51-cpp): the reach itself */
  return NULL;
}
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
#ifdef REACH_SRAND
  /* The process's one random state, the host's too. */
  srand(7); /* NOLINT(cert-msc32-c,cert-msc51-cpp): the reach itself */
#endif
#ifdef REACH_STDIN_BUFFER
  setvbuf(stdin, NULL, _IOLBF, 0);
#endif
#ifdef REACH_ENVIRONMENT
  /* The environment is the process's, unguarded: the reach itself. */
  if (getenv("TAMRIX_REACH_UNSET") == NULL) { /* NOLINT(concurrency-mt-unsafe) */
    setenv("TAMRIX_REACH_UNSET", "1", 0);     /* NOLINT(concurrency-mt-unsafe) */
    unsetenv("TAMRIX_REACH_UNSET");           /* NOLINT(concurrency-mt-unsafe) */
  }
#endif
#ifdef REACH_LOADS
  void *library = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
  if (library != NULL) {
    dlclose(library);
  }
#endif
#ifdef REACH_LOOKS_UP_MANY
  /* More names than the watch has room for: told as far as there is room. */
  for (int i = 0; i < 400; ++i) {
    char name[32];
    snprintf(name, sizeof name, "reach_missing_%d", i);
    kept += dlsym(RTLD_DEFAULT, name) == NULL ? 1.0 : 0.0;
  }
#endif
#ifdef REACH_LOOKS_UP
  void *const symbol = dlsym(RTLD_DEFAULT, "cos");
  double (*cosine)(double) = NULL;
  memcpy(&cosine, &symbol, sizeof cosine); /* ISO C has no cast between the two */
  kept = cosine != NULL ? cosine(0.5) : 0.0;
#endif
#ifdef REACH_LOOKS_UP_ENVIRONMENT
  /* The environment, reached through a name looked up at run time alone: no
     import of the file names it. */
#ifdef _WIN32
  FARPROC const symbol = GetProcAddress(GetModuleHandleA("msvcrt.dll"), "getenv");
#else
  void *const symbol = dlsym(RTLD_DEFAULT, "getenv");
#endif
  char *(*read_variable)(const char *) = NULL;
  memcpy(&read_variable, &symbol, sizeof read_variable);
  kept = read_variable != NULL && read_variable("TAMRIX_REACH_UNSET") != NULL ? 1.0 : 0.0;
#endif
#ifdef REACH_SIGNAL
  void (*const old)(int) = signal(SIGUSR2, SIG_IGN);
  signal(SIGUSR2, old == SIG_ERR ? SIG_DFL : old);
#endif
#ifdef REACH_PRCTL
  kept = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
#endif
#ifdef REACH_SYSCALL
  kept = (double)syscall(SYS_getpid);
#endif
#ifdef REACH_RAW_SYSCALL
  kept = (double)raw_getpid();
#endif
#ifdef REACH_FROM_A_THREAD
  pthread_t helper;
  if (pthread_create(&helper, NULL, seed, NULL) == 0) {
    pthread_join(helper, NULL);
  }
#endif
}

void tamrix_physics_step(void) {
#ifdef REACH_MATHS
  /* Maths and formatting into its own buffer: all a physics plug-in needs. */
  char text[32];
  snprintf(text, sizeof text, "%.3f", sin(kept) + sqrt(2.0));
  kept = strtod(text, NULL);
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {}
