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

#if defined(BROKEN_ROW_DEFAULTS) || defined(BROKEN_CONSTRUCTOR)
/* A "safe default" so the plug-in can print before set-up. */
static void fallback_printf(const char *format, ...) { (void)format; }
#endif
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

#ifdef BROKEN_PRIVATE_COPY
/* Saves a load per call, and misses a host that swaps the service later. */
static tamrix_body_lookup_fn *saved_lookup;
#define BODY_LOOKUP saved_lookup
#else
#define BODY_LOOKUP dTamrixGetBodyFromDEFProc
#endif

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

#ifdef PROCESS_FAULT
static void process_fault_in_init(void);
static void process_fault_in_step(void);
#endif

void tamrix_physics_init(void) {
#ifdef PROCESS_FAULT
  process_fault_in_init();
#endif
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
#ifdef PROCESS_FAULT
  process_fault_in_step();
#endif
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

/* ---- Faults in the process around the plug-in: each call returns, and the
   host's process is left changed. Built with PROCESS_FAULT besides the fault's
   own macro. */
#ifdef PROCESS_FAULT
#include <fenv.h>
#include <locale.h>
#include <signal.h>
#ifdef _WIN32
#include <direct.h>
#include <float.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
/* GNU extensions, declared here because _GNU_SOURCE would come too late. */
int feenableexcept(int excepts);
long syscall(long number, ...);
#endif

#ifdef BROKEN_THREAD_LEFT
/* A worker that waits for jobs; nothing ever tells it to stop. */
#ifdef _WIN32
static DWORD WINAPI worker(LPVOID unused) {
  (void)unused;
  Sleep(INFINITE);
  return 0;
}
#else
static pthread_mutex_t jobs_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t jobs_ready = PTHREAD_COND_INITIALIZER;
static void *worker(void *unused) {
  (void)unused;
  pthread_mutex_lock(&jobs_lock);
  for (;;) {
    pthread_cond_wait(&jobs_ready, &jobs_lock);
  }
  return NULL;
}
#endif
#endif

#ifdef BROKEN_SIGNAL_HANDLER
/* "Better crash reports": replaces the host's own. */
static void on_segv(int signal_number) { _exit(128 + signal_number); }
#endif

#ifdef BROKEN_DESCRIPTOR_LEAK
#ifdef _WIN32
static HANDLE debug_log;
#else
static int debug_log = -1;
#endif
#endif

#ifdef BROKEN_HEAP_LEAK
static void *volatile scratch;
#endif

static void process_fault_in_init(void) {
#ifdef BROKEN_ROUNDING
  fesetround(FE_TOWARDZERO); /* for a reproducible integrator */
#endif
#ifdef BROKEN_FLUSH_TO_ZERO
  /* Denormals are slow: what -ffast-math's start-up code does, done by hand. */
#if defined(__x86_64__)
  unsigned int mxcsr;
  __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
  mxcsr |= 0x8040U;
  __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
#elif defined(__aarch64__)
  unsigned long fpcr;
  __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
  fpcr |= 1UL << 24U;
  __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
#endif
#endif
#ifdef BROKEN_FP_TRAP
  /* Find the division by zero in the plug-in's maths: traps the host's too. */
#ifdef _WIN32
  _controlfp(0, _EM_ZERODIVIDE);
#else
  feenableexcept(FE_DIVBYZERO);
#endif
#endif
#ifdef BROKEN_THREAD_LEFT
#ifdef _WIN32
  CloseHandle(CreateThread(NULL, 0, worker, NULL, 0, NULL));
#else
  pthread_t thread;
  if (pthread_create(&thread, NULL, worker, NULL) == 0) {
    pthread_detach(thread);
  }
#endif
#endif
#ifdef BROKEN_SIGNAL_HANDLER
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_segv;
  sigaction(SIGSEGV, &action, NULL);
#endif
#ifdef BROKEN_SIGNAL_MASK
  /* Keeps Ctrl-C from interrupting the set-up, and never unblocks it. */
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, NULL);
#endif
#ifdef BROKEN_LOCALE
  setlocale(LC_NUMERIC, "C.UTF-8"); /* NOLINT(concurrency-mt-unsafe): the fault itself */
#endif
#ifdef BROKEN_CHDIR
  /* Finds its data relative to the folder above. */
#ifdef _WIN32
  if (_chdir("..") != 0) {
    return;
  }
#else
  if (chdir("..") != 0) {
    return;
  }
#endif
#endif
#ifdef BROKEN_SETENV
#ifdef _WIN32
  _putenv_s("TAMRIX_PLUGIN_DATA", "plugin-data");
#else
  setenv("TAMRIX_PLUGIN_DATA", "plugin-data", 1); /* NOLINT(concurrency-mt-unsafe): the fault */
#endif
#endif
#ifdef BROKEN_UMASK
  umask(077); /* files it writes are private, and so, from now on, are the host's */
#endif
#ifdef BROKEN_FORK
  /* A helper process for slow work, never waited for. */
  if (fork() == 0) {
    sleep(60); /* NOLINT(concurrency-mt-unsafe): a process of its own */
    _exit(0);
  }
#endif
#ifdef BROKEN_DESCRIPTOR_LEAK
  /* Opened every life, closed never. */
#ifdef _WIN32
  debug_log = CreateFileA("NUL", GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
#else
  debug_log = open("/dev/null", O_WRONLY | O_CLOEXEC);
#endif
#endif
#ifdef BROKEN_HEAP_LEAK
  scratch = malloc(4096); /* a work buffer cleanup forgets */
#endif
#ifdef BROKEN_NODELETE
#ifdef _WIN32
  /* Stays loaded, so its rows survive a reload. */
  static const char inside_this_module = 0;
  HMODULE self;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     (LPCWSTR)(const void *)&inside_this_module, &self);
#endif
#endif
}

static void process_fault_in_step(void) {
#ifdef BROKEN_SYSCALL_IN_STEP
  /* A process id in every debug line; straight to the kernel, so no library cache hides it. */
  (void)syscall(SYS_getpid);
#endif
}
#endif
