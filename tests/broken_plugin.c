/* A small plug-in that keeps the contract, and with one BROKEN_* macro defined
   the one fault of that name: each is a mistake plug-in authors really make,
   for plugin-check to catch. */
/* sched_yield() is POSIX, not C99. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
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

/* Faults against the checker itself and the table after set-up, at the end
   of this file; each is empty unless its macro is defined. */
#ifdef BROKEN_OWN_TABLE
static void fault_in_set_up(void);
#endif
#ifndef BROKEN_NO_GET_BODY
static void fault_in_get_body(void);
#endif
static void fault_in_init(void);
static void fault_in_step(void);

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
  fault_in_set_up();
}
#endif

#ifdef BROKEN_MEMOISED_BODY
/* Asks the host once per name and keeps the answer for good, as if a world
   never changed. */
static char memo_name[32];
static tamrix_body_handle memo_body;
#endif

#ifdef BROKEN_NAME_BY_ADDRESS
/* Remembers the last answer by where the name was, as if a host kept each
   name in a string of its own for good. */
static const char *last_name;
static tamrix_body_handle last_body;
#endif

#ifndef BROKEN_NO_GET_BODY
tamrix_body_handle getBody(const char *def_name) {
  fault_in_get_body();
#ifdef BROKEN_NAME_BY_ADDRESS
  if (def_name != NULL && def_name == last_name) {
    return last_body;
  }
#endif
#ifdef BROKEN_NAME_FIXED_BUFFER
  /* "No DEF name is longer than a line." */
  char line[256];
  if (def_name != NULL) {
    strcpy(line, def_name); /* NOLINT(clang-analyzer-security.insecureAPI.strcpy): the fault */
    def_name = line;
  }
#endif
#ifdef BROKEN_MEMOISED_BODY
  if (memo_body != NULL && def_name != NULL && strcmp(def_name, memo_name) == 0) {
    return memo_body;
  }
#endif
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
#ifdef BROKEN_NAME_BY_ADDRESS
  last_name = def_name;
  last_body = body;
#endif
#ifdef BROKEN_MEMOISED_BODY
  if (body != NULL && strlen(def_name) < sizeof memo_name) {
    strcpy(memo_name, def_name); /* NOLINT(clang-analyzer-security.insecureAPI.strcpy): fits */
    memo_body = body;
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

#ifdef BROKEN_ATEXIT
static volatile int lives;
/* Statistics written out when the process ends: plug-in code that the C
   library keeps, and runs at unload. */
static void report_lives(void) { lives = 0; }
#endif

#ifdef PROCESS_FAULT
static void process_fault_in_init(void);
static void process_fault_in_step(void);
#endif

void tamrix_physics_init(void) {
#ifdef BROKEN_ATEXIT
  if (lives++ == 0) {
    (void)atexit(report_lives);
  }
#endif
  fault_in_init();
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

#ifdef USES_LIBM
/* A sound plug-in's maths: sqrt from libm, which is the C runtime's own. */
static volatile double spring_length = 2.0;
#endif

void tamrix_physics_step(void) {
#ifdef USES_LIBM
  spring_length = sqrt(spring_length);
#endif
  fault_in_step();
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

#ifdef BROKEN_READS_HANDLE
static volatile char first_kind;
#endif

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
#ifdef BROKEN_READS_HANDLE
  /* Takes the host's handle for a pointer to its own idea of a geometry. */
  first_kind = *(const volatile char *)first;
#endif
#ifdef BROKEN_PRINTF_IN_COLLIDE
  printf("collide\n"); /* a leftover from debugging */
#endif
#ifdef BROKEN_HEAP_IN_COLLIDE
  contacts = malloc(16 * sizeof(double));
  free(contacts);
#endif
  return 0;
}

#if defined(BROKEN_HANG_IN_CLEANUP) || defined(BROKEN_SESSION_THEN_HANG)
static volatile int worker_stopped; /* set by a worker thread that was never started */
#endif

#ifdef STALLS_ONCE
#include <fcntl.h>
#include <unistd.h>
/* A sound plug-in on a machine so busy that it stalls once: the first cleanup
   of all, in any process, waits past any limit. The test names the file that
   marks it as done. */
static void stall_once(void) {
  const char *marker = getenv("TAMRIX_CORPUS_STALL_ONCE"); /* NOLINT(concurrency-mt-unsafe) */
  const int fd = marker != NULL ? open(marker, O_WRONLY | O_CREAT | O_EXCL, 0600) : -1;
  if (fd < 0) {
    return;
  }
  close(fd);
  for (;;) {
    sleep(1); /* NOLINT(concurrency-mt-unsafe): one thread here */
  }
}
#endif

void tamrix_physics_cleanup(void) {
#ifdef STALLS_ONCE
  stall_once();
#endif
#if defined(BROKEN_HANG_IN_CLEANUP) || defined(BROKEN_SESSION_THEN_HANG)
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

#ifdef BROKEN_DESTRUCTOR
/* Code at unload: runs inside the host after it let the plug-in go. */
static volatile int frames_seen;
__attribute__((destructor)) static void forget_frames(void) { frames_seen = 0; }
#endif

#ifdef BROKEN_STRIPPED_CONSTRUCTOR
/* Code at load in a file linked without the C runtime's start files, then
   stripped: nothing in the file names the constructor. */
static volatile int tables_ready;
__attribute__((constructor)) static void build_tables(void) { tables_ready = 1; }
#endif

/* BROKEN_FAST_MATH is this source as it is, compiled and linked with
   -ffast-math (see plugin_check.cmake): the link adds the compiler's
   crtfastmath.o, whose constructor changes the host's floating point. */
/* ---- Faults against the checker's channel, the processes it runs and the
   table after set-up. */
#if defined(BROKEN_FORGED_RESULT) || defined(BROKEN_CHANNEL_TO_NULL) || defined(BROKEN_FLOOD)
#ifdef _WIN32
#include <io.h>
#define corpus_write(fd, text, size) _write(fd, text, (unsigned)(size))
#define corpus_dup2 _dup2
#define corpus_null "NUL"
#else
#include <fcntl.h>
#include <unistd.h>
#define corpus_write(fd, text, size) write(fd, text, size)
#define corpus_dup2 dup2
#define corpus_null "/dev/null"
#endif
/* More than the checker's own descriptors, fewer than anyone's limit. */
enum { corpus_descriptors = 64 };
#ifndef BROKEN_CHANNEL_TO_NULL
/* Careless on purpose: whatever fails, it goes on to the next descriptor. */
static void write_anyway(int fd, const char *data, size_t size) {
  if (corpus_write(fd, data, size) < 0) {
    return;
  }
}
#endif
#endif
#if defined(BROKEN_FORK_IN_INIT) || defined(BROKEN_FORK_SETSID) || defined(BROKEN_SESSION_THEN_HANG)
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef BROKEN_FORGED_RESULT
/* A "self-test" that reports success on every descriptor, then leaves. */
static void forge_result(void) {
  static const char plain[] = "result pass\n";
  static const char tokened[] = "0123456789abcdef result pass \n";
  for (int fd = 0; fd < corpus_descriptors; ++fd) {
    write_anyway(fd, plain, sizeof plain - 1);
    write_anyway(fd, tokened, sizeof tokened - 1);
  }
  _Exit(0);
}
#endif

#ifdef BROKEN_CHANNEL_TO_NULL
/* Silences everything the plug-in might print, the host's own pipes included. */
static void silence_everything(void) {
  FILE *null = fopen(corpus_null, "w");
  if (null != NULL) {
    for (int fd = 0; fd < corpus_descriptors; ++fd) {
      (void)corpus_dup2(fileno(null), fd);
    }
  }
}
#endif

#ifdef BROKEN_FLOOD
/* A debug dump to every descriptor, bounded so that it ends by itself. */
static void flood(void) {
  static char block[64 * 1024];
  memset(block, 'x', sizeof block);
  for (int round = 0; round < 256; ++round) {
    for (int fd = 1; fd < corpus_descriptors; ++fd) {
      write_anyway(fd, block, sizeof block);
    }
  }
}
#endif

#if defined(BROKEN_FORK_IN_INIT) || defined(BROKEN_FORK_SETSID) || defined(BROKEN_SESSION_THEN_HANG)
/* Tells the test where a process the plug-in started, or its own, is. */
static void note_worker(pid_t worker) {
  const char *file = getenv("TAMRIX_CORPUS_PIDS"); /* NOLINT(concurrency-mt-unsafe) */
  FILE *out = file != NULL ? fopen(file, "a") : NULL;
  if (out != NULL) {
    fprintf(out, "%ld\n", (long)worker);
    fclose(out);
  }
}
#endif

#if defined(BROKEN_FORK_IN_INIT) || defined(BROKEN_FORK_SETSID)
/* A worker process idles for a minute: long past any check, short enough to
   end should nothing kill it. */
static void idle_then_exit(void) {
  for (int second = 0; second < 60; ++second) {
    sleep(1); /* NOLINT(concurrency-mt-unsafe): one thread here */
  }
  _exit(0);
}

static void start_worker(void) {
  const pid_t worker = fork();
  if (worker == 0) {
#ifdef BROKEN_FORK_SETSID
    /* A daemon of its own: a new session, and a parent that leaves at once. */
    setsid();
    const pid_t daemon = fork();
    if (daemon != 0) {
      note_worker(daemon);
      _exit(0);
    }
#endif
    idle_then_exit();
  }
#ifdef BROKEN_FORK_SETSID
  waitpid(worker, NULL, 0);
#else
  note_worker(worker);
#endif
}
#endif

#if defined(BROKEN_WRAPPER_IN_ROW2)
/* Counts the host's lookups by wrapping the row. */
static tamrix_body_lookup_fn *wrapped_lookup;
static long lookups_made;
static tamrix_body_handle counting_lookup(const char *def_name) {
  ++lookups_made;
  return wrapped_lookup != NULL ? wrapped_lookup(def_name) : NULL;
}
#endif
#if defined(BROKEN_RESTORE_ROW2)
/* "Repairs" the row from the pointer set-up gave, undoing other code's store. */
static tamrix_body_lookup_fn *set_up_lookup;
#endif
#ifdef BROKEN_UNGUARDED_TIME
static volatile double last_step_time;
#endif

#ifdef BROKEN_OWN_TABLE
static void fault_in_set_up(void) {
#ifdef BROKEN_FORGED_RESULT
  forge_result();
#endif
#ifdef BROKEN_CHANNEL_TO_NULL
  silence_everything();
#endif
#ifdef BROKEN_FLOOD
  flood();
#endif
#ifdef BROKEN_RESTORE_ROW2
  set_up_lookup = dTamrixGetBodyFromDEFProc;
#endif
}
#endif

#ifndef BROKEN_NO_GET_BODY
static void fault_in_get_body(void) {
#ifdef BROKEN_RESTORE_ROW2
  dTamrixGetBodyFromDEFProc = set_up_lookup;
#endif
}
#endif

static void fault_in_init(void) {
#if defined(BROKEN_FORK_IN_INIT) || defined(BROKEN_FORK_SETSID)
  start_worker();
#endif
#ifdef BROKEN_SESSION_THEN_HANG
  /* The host's own process leaves its group for a session of its own. */
  note_worker(getpid());
  setsid();
#endif
#ifdef BROKEN_WRAPPER_IN_ROW2
  if (dTamrixGetBodyFromDEFProc != counting_lookup) {
    wrapped_lookup = dTamrixGetBodyFromDEFProc;
    dTamrixGetBodyFromDEFProc = counting_lookup;
  }
#endif
#ifdef BROKEN_SECOND_LIFE
  /* Checks for the robot once per process, not once per simulation. */
  static int checked;
  if (!checked) {
    checked = 1;
    if (dTamrixGetBodyFromDEFProc("body1") == NULL) {
      dTamrixConsolePrintfProc("not found");
    }
  }
#endif
}

static void fault_in_step(void) {
#ifdef BROKEN_MESSAGE_EVERY_128
  /* A progress message now and then. */
  static unsigned steps;
  if (++steps % 128 == 0 && dTamrixConsolePrintfProc != NULL) {
    dTamrixConsolePrintfProc("%u steps", steps);
  }
#endif
#ifdef BROKEN_STDOUT_TO_NULL
  /* Debug output, silenced by sending it nowhere. */
  static volatile int silenced;
  if (!silenced) {
    silenced = 1;
#ifdef _WIN32
    if (freopen("NUL", "w", stdout) == NULL) {
      return;
    }
#else
    if (freopen("/dev/null", "w", stdout) == NULL) {
      return;
    }
#endif
  }
  printf("step\n");
#endif
#ifdef BROKEN_NULL_ROW6_IN_STEP
  /* Keeps steps quiet by taking the console away. */
  dTamrixConsolePrintfProc = NULL;
#endif
#ifdef BROKEN_UNGUARDED_TIME
  /* Row 7 is the host's clock: "always there". */
  last_step_time = dTamrixGetTimeProc();
#endif
}
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

#ifdef BROKEN_ROUNDING_ON_HOST_THREAD
static _Thread_local int on_init_thread;
#endif

static void process_fault_in_init(void) {
#ifdef BROKEN_ROUNDING_ON_HOST_THREAD
  on_init_thread = 1;
#endif
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
#ifdef BROKEN_ENV_FROM_SECOND_INIT
  /* A restart marks itself for the next run, in the host's environment. */
  static int inits;
  if (++inits >= 2) {
#ifdef _WIN32
    (void)_putenv("TAMRIX_PHYSICS_RESTARTED=1");
#else
    (void)setenv("TAMRIX_PHYSICS_RESTARTED", "1", 1); /* NOLINT(concurrency-mt-unsafe): the fault */
#endif
  }
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
#ifdef BROKEN_ROUNDING_ON_HOST_THREAD
  /* Sets its integrator's rounding once per worker thread, and never on the
     thread that started the simulation, so a look from there sees nothing. */
  if (!on_init_thread) {
    (void)fesetround(FE_UPWARD);
  }
#endif
#ifdef BROKEN_SYSCALL_IN_STEP
  /* A process id in every debug line; straight to the kernel, so no library cache hides it. */
  (void)syscall(SYS_getpid);
#endif
}
#endif
