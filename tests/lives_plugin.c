/* A plug-in that keeps the contract for its first hundred steps, on its
   first thread, while one call runs at a time and while it is loaded; with
   one LIVES_* macro defined it breaks it later, elsewhere, at once, or after
   unload. Linux only, as the checks that catch most of these. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <fenv.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>

#include "tamrix_physics.h"

static long steps; /* since tamrix_physics_init */
/* What a fault's own call returns is no concern of the fault's; a function,
   as a cast to void does not quiet warn_unused_result, and marked unused for
   the faults that never call it. */
__attribute__((unused)) static void regardless(long status) { (void)status; }
static pthread_t init_thread;

#ifdef LIVES_ALT_STACK_IN_GET_BODY
/* A stack for a crash handler around lookups made off the init thread. */
static char lookup_crash_stack[1 << 16];
#endif

#ifdef LIVES_GETBODY_KEY
/* Per-thread scratch for lookups, made on a thread's first getBody. */
static pthread_key_t lookup_key;
static pthread_once_t lookup_key_made = PTHREAD_ONCE_INIT;
static double lookup_scratch;
static void drop_lookup_scratch(void *value) { *(double *)value = 0.0; }
static void make_lookup_key(void) { (void)pthread_key_create(&lookup_key, drop_lookup_scratch); }
#endif

tamrix_body_handle getBody(const char *def_name) {
#ifdef LIVES_GETBODY_KEY
  (void)pthread_once(&lookup_key_made, make_lookup_key);
  (void)pthread_setspecific(lookup_key, &lookup_scratch);
#endif
#ifdef LIVES_ALT_STACK_IN_GET_BODY
  if (!pthread_equal(pthread_self(), init_thread)) {
    stack_t stack = {.ss_sp = lookup_crash_stack, .ss_size = sizeof lookup_crash_stack};
    (void)sigaltstack(&stack, NULL);
  }
#endif
  tamrix_body_lookup_fn *lookup = dTamrixGetBodyFromDEFProc;
  tamrix_console_printf_fn *print = dTamrixConsolePrintfProc;
  tamrix_body_handle body = def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
  if (body == NULL && print != NULL) {
    print("Warning: did not find body with DEF name: %s", def_name != NULL ? def_name : "(null)");
  }
  return body;
}

#if defined(LIVES_SIGACTION_LATE) || defined(LIVES_HANDLER_ON_OTHER_THREAD) || \
    defined(LIVES_SIGACTION_AT_5000)
static void on_term(int signal) { (void)signal; }
#endif

#ifdef LIVES_THREAD_LATE
static void *idle(void *unused) {
  (void)unused;
  for (;;) {
    pause();
  }
  return NULL;
}
#endif

#ifdef LIVES_ROW_LATE
/* A printer of its own that adds a prefix, installed once the run is warm. */
static void own_printf(const char *format, ...) { (void)format; }
#endif

#ifdef LIVES_KEY_DESTRUCTOR
static pthread_key_t scratch_key;
static double scratch;
static void drop_scratch(void *value) { *(double *)value = 0.0; }
#endif

#ifdef LIVES_ATFORK
/* The C library's own registration, which pthread_atfork wraps with the
   library's handle so that unloading drops the handlers; without one they
   stay for good. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
extern int __register_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void),
                             void *library);
static volatile int forks;
static void count_fork(void) { ++forks; }
#endif

#if defined(LIVES_ON_EXIT_LOOKED_UP) || defined(LIVES_ATEXIT_DROPPED)
/* Statistics kept for the host's exit: through on_exit, looked up, as not
   every C library has it; or through atexit, which the C library runs at
   unload too, and a C++-style destructor, registered with its object. */
/* NOLINTBEGIN(bugprone-reserved-identifier) */
extern void *__dso_handle;
extern int __cxa_atexit(void (*destroy)(void *), void *object, void *library);
/* NOLINTEND(bugprone-reserved-identifier) */
static long totals[4];
/* cppcheck-suppress [constParameter] ; on_exit's signature */
__attribute__((unused)) static void keep_on_exit(int status, void *unused) {
  totals[0] = status + (unused != NULL);
}
__attribute__((unused)) static void keep_at_exit(void) { totals[1] = steps; }
__attribute__((unused)) static void drop_totals(void *object) { ((long *)object)[2] = 0; }
#endif

#ifdef LIVES_COOKIE_READER
/* The tuning table, built in, read through a stream as the file it once was
   and kept open for the next life. */
static FILE *tuning_stream;
static ssize_t read_tuning(void *cookie, char *into, size_t size) {
  static const char tuning[] = "gravity 9.81\n";
  const size_t count = size < sizeof tuning - 1 ? size : sizeof tuning - 1;
  (void)cookie;
  memcpy(into, tuning, count);
  return (ssize_t)count;
}
/* cppcheck-suppress [constParameter] ; fopencookie's signature */
static int seek_tuning(void *cookie, off64_t *offset, int whence) {
  (void)cookie;
  if (offset == NULL || whence == SEEK_END) {
    return -1;
  }
  *offset = 0; /* back to the table's start: it is read whole */
  return 0;
}
#endif

#ifdef LIVES_STDOUT_BUFFER
/* Bigger writes for the debug log, in a buffer that lives as long as the library. */
static char log_buffer[1 << 16];
#endif

#ifdef LIVES_ALT_STACK
/* A stack for a crash handler that never came. */
static char crash_stack[1 << 16];
#endif

#ifdef LIVES_OVERLAP
static volatile int inside;
#endif

#ifdef LIVES_STDIN_BUFFER
/* Bigger reads for a command reader, in a buffer as long-lived as the library. */
static char stdin_buffer[1 << 12];
#endif

#ifdef LIVES_PUTENV
/* putenv keeps the string itself, not a copy. */
static char mode_entry[] = "LIVES_PHYSICS_MODE=fast";
#endif

#ifdef LIVES_ALT_STACK_ON_HOST_THREAD
static char step_crash_stack[1 << 16];
#endif

#ifdef LIVES_ALT_STACK_UNMAPPED
static void *signal_stack;
static const size_t signal_stack_size = 1 << 16;
#endif

void tamrix_physics_init(void) {
  steps = 0;
  init_thread = pthread_self();
#ifdef LIVES_WIDE_STDIN
  (void)fwide(stdin, 1); /* for a wide-character command reader never used */
#endif
#ifdef LIVES_STDIN_BUFFER
  (void)setvbuf(stdin, stdin_buffer, _IOFBF, sizeof stdin_buffer);
#endif
#ifdef LIVES_KEY_DESTRUCTOR
  (void)pthread_key_create(&scratch_key, drop_scratch);
#endif
#ifdef LIVES_ATFORK
  (void)__register_atfork(count_fork, count_fork, count_fork, NULL);
#endif
#ifdef LIVES_STDOUT_BUFFER
  (void)setvbuf(stdout, log_buffer, _IOFBF, sizeof log_buffer);
#endif
#if defined(LIVES_ON_EXIT_LOOKED_UP) || defined(LIVES_ATEXIT_DROPPED)
  static int registered;
#ifdef LIVES_ON_EXIT_LOOKED_UP
  int (*register_at_exit)(void (*)(int, void *), void *) = NULL;
  *(void **)&register_at_exit = dlsym(RTLD_DEFAULT, "on_exit");
  registered =
      registered || (register_at_exit != NULL && register_at_exit(keep_on_exit, NULL) == 0);
#else
  registered = registered ||
               (atexit(keep_at_exit) == 0 && __cxa_atexit(drop_totals, totals, __dso_handle) == 0);
#endif
#endif
#ifdef LIVES_COOKIE_READER
  if (tuning_stream == NULL) {
    const cookie_io_functions_t tuning_file = {.read = read_tuning, .seek = seek_tuning};
    tuning_stream = fopencookie(NULL, "r", tuning_file);
    (void)(tuning_stream != NULL && fgetc(tuning_stream) != EOF);
  }
#endif
#ifdef LIVES_ALT_STACK
  stack_t stack = {.ss_sp = crash_stack, .ss_size = sizeof crash_stack, .ss_flags = 0};
  (void)sigaltstack(&stack, NULL);
#endif
#ifdef LIVES_POSIX_TIMER
  /* A heartbeat for a watchdog of its own, never deleted. */
  timer_t heartbeat;
  struct sigevent notify = {.sigev_notify = SIGEV_SIGNAL, .sigev_signo = SIGUSR1};
  const struct itimerspec every = {.it_interval = {1, 0}, .it_value = {1, 0}};
  if (timer_create(CLOCK_MONOTONIC, &notify, &heartbeat) == 0) {
    (void)timer_settime(heartbeat, 0, &every, NULL);
  }
#endif
#ifdef LIVES_PUTENV
  (void)putenv(mode_entry); /* NOLINT(concurrency-mt-unsafe): the fault itself */
#endif
#ifdef LIVES_WIDE_STDOUT
  (void)fwide(stdout, 1); /* for a wide-character log that was never written */
#endif
#ifdef LIVES_ALT_STACK_UNMAPPED
  signal_stack =
      mmap(NULL, signal_stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (signal_stack != MAP_FAILED) {
    stack_t stack = {.ss_sp = signal_stack, .ss_size = signal_stack_size, .ss_flags = 0};
    (void)sigaltstack(&stack, NULL);
  }
#endif
#ifdef LIVES_ITIMER_LONG
  struct itimerval minute = {.it_interval = {0, 0}, .it_value = {60, 0}};
  (void)setitimer(ITIMER_REAL, &minute, NULL);
#endif
#ifdef LIVES_ITIMER
  /* A watchdog for a step that hangs, never disarmed. */
  struct itimerval watchdog = {.it_interval = {0, 0}, .it_value = {1, 0}};
  (void)setitimer(ITIMER_REAL, &watchdog, NULL);
#endif
}

void tamrix_physics_step(void) {
  const long step = ++steps;
  (void)step;
  const int on_init_thread = pthread_equal(pthread_self(), init_thread);
  (void)on_init_thread;
#ifdef LIVES_CHDIR_LATE
  if (step == 150) {
    regardless(chdir("/"));
  }
#endif
#ifdef LIVES_FESETROUND_LATE
  if (step == 150) {
    (void)fesetround(FE_TOWARDZERO);
  }
#endif
#ifdef LIVES_SIGACTION_LATE
  if (step == 150) {
    (void)signal(SIGTERM, on_term);
  }
#endif
#ifdef LIVES_SIGACTION_AT_5000
  /* Its own handler, once the simulation has settled: past any short look. */
  if (step == 5000) {
    (void)signal(SIGTERM, on_term);
  }
#endif
#ifdef LIVES_FD_LATE
  if (step == 150) {
    (void)open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
#endif
#ifdef LIVES_THREAD_LATE
  pthread_t thread;
  if (step == 150 && pthread_create(&thread, NULL, idle, NULL) == 0) {
    (void)pthread_detach(thread);
  }
#endif
#ifdef LIVES_ROW_LATE
  if (step == 301) {
    dTamrixConsolePrintfProc = own_printf;
  }
#endif
#ifdef LIVES_GETPPID_LATE
  if (step > 100) {
    (void)getppid();
  }
#endif
#ifdef LIVES_PRINT_LATE
  if (step == 200) {
    (void)puts("step 200"); /* a leftover from debugging */
    (void)fflush(stdout);
  }
#endif
#ifdef LIVES_CONSOLE_LATE
  tamrix_console_printf_fn *print = dTamrixConsolePrintfProc;
  if (step % 250 == 0 && print != NULL) {
    print("%ld steps", step);
  }
#endif
#ifdef LIVES_CRASH_LATE
  if (step == 150) {
    /* cppcheck-suppress nullPointer ; a table that runs out at step 150 */
    *(volatile int *)NULL = 0;
  }
#endif
#ifdef LIVES_FESETROUND_ON_OTHER_THREAD
  if (!on_init_thread) {
    (void)fesetround(FE_UPWARD);
  }
#endif
#ifdef LIVES_ALT_STACK_ON_HOST_THREAD
  if (!on_init_thread) {
    stack_t stack = {.ss_sp = step_crash_stack, .ss_size = sizeof step_crash_stack, .ss_flags = 0};
    (void)sigaltstack(&stack, NULL);
  }
#endif
#ifdef LIVES_HANDLER_ON_OTHER_THREAD
  if (!on_init_thread) {
    (void)signal(SIGTERM, on_term);
  }
#endif
#ifdef LIVES_MASK_ON_OTHER_THREAD
  if (!on_init_thread) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    (void)pthread_sigmask(SIG_BLOCK, &term, NULL);
  }
#endif
#ifdef LIVES_OVERLAP
  /* A lock-free fast path that "borrows" the process while another step runs. */
  if (__atomic_add_fetch(&inside, 1, __ATOMIC_SEQ_CST) > 1) {
    regardless(chdir("/"));
    (void)umask(0);
  }
  for (volatile int spin = 0; spin < 20000; ++spin) {
  }
  __atomic_sub_fetch(&inside, 1, __ATOMIC_SEQ_CST);
#endif
#ifdef LIVES_KEY_DESTRUCTOR
  (void)pthread_setspecific(scratch_key, &scratch);
#endif
#ifdef LIVES_RESTORES
  /* Borrows the working directory, the umask and a descriptor, and gives
     each back before returning: nothing the host can see. */
  if (step == 150) {
    const int here = open(".", O_RDONLY | O_CLOEXEC);
    regardless(chdir("/"));
    regardless(fchdir(here));
    regardless(close(here));
    umask(umask(0));
  }
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
#ifdef LIVES_COLLIDE_LATE
  if (steps == 200) {
    (void)umask(0);
  }
#endif
  return 0;
}

void tamrix_physics_cleanup(void) {
#ifdef LIVES_ALT_STACK_UNMAPPED
  /* Frees the stack, and leaves the thread pointing at it. */
  (void)munmap(signal_stack, signal_stack_size);
#endif
#ifdef LIVES_CLEANUP_AFTER_LONG
  /* Writes its statistics next to a long run's other files. */
  if (steps > 500) {
    regardless(chdir("/"));
  }
#endif
}
