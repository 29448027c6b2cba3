/* A plug-in that keeps the contract but, with one TABLE_* macro defined,
   leaves one setting of the host's process changed after cleanup: the
   faults process-left-as-found must name. SAVED_SIGNAL_ACTION is the control
   that changes a signal action and puts it back, and must pass. The fault
   is made in init, or with TABLE_IN_STEP in the second step. Built with the
   kit's service table. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <locale.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>

#include "tamrix_physics.h"

#ifdef SAVED_SIGNAL_ACTION
static void on_user_signal(int number) { (void)number; }
#endif

#if defined(TABLE_LIBRARY_LEFT) || defined(TABLE_BIG_MAPPING) || defined(TABLE_WRITABLE_EXECUTABLE)
/* "Kept for later", and never given back. */
static void *left_behind;
#endif

#ifdef TABLE_ALTERNATE_STACK
static char alternate_stack[65536];
#endif

#ifdef TABLE_STDOUT_BUFFER
static char stdout_buffer[BUFSIZ];
#endif

#ifdef TABLE_DUP2_SWAP
/* Whether descriptor `fd` leads to a file or device, and where, in `target`. */
static int names_a_file(int fd, char *target, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, target, size - 1);
  if (length <= 0) {
    return 0;
  }
  target[length] = '\0';
  return target[0] == '/';
}

/* Swaps two descriptors the host holds, so the count stays the same. */
static void swap_two_descriptors(void) {
  char first_target[256];
  char target[256];
  int first = -1;
  for (int fd = 3; fd < 64; ++fd) {
    if (!names_a_file(fd, target, sizeof target)) {
      continue;
    }
    if (first < 0) {
      first = fd;
      strcpy(first_target, target);
    } else if (strcmp(first_target, target) != 0) {
      const int spare = dup(first);
      dup2(fd, first);
      dup2(spare, fd);
      close(spare);
      return;
    }
  }
}
#endif

#ifdef TABLE_SECCOMP_FILTER
/* "Sandboxes" itself against writing the disk: mkdir fails from now on. */
static void forbid_mkdir(void) {
  struct sock_filter rules[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#ifdef SYS_mkdir
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_mkdir, 1, 0),
#endif
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_mkdirat, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {(unsigned short)(sizeof rules / sizeof rules[0]), rules};
  prctl(PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL);
  prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0UL, 0UL);
}
#endif

/* Each fault as a plug-in author writes it, "for speed" or "for safety",
   and never undone. */
static void leave_process_changed(void) {
#ifdef TABLE_RLIMIT
  struct rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = 64;
  setrlimit(RLIMIT_NOFILE, &files);
#endif
#ifdef TABLE_NICE
  /* "Physics can wait": five steps nicer than whatever the host runs at, so
     the change shows however nice the checker was started. */
  setpriority(PRIO_PROCESS, 0, getpriority(PRIO_PROCESS, 0) + 5);
#endif
#ifdef TABLE_AFFINITY
  cpu_set_t cpus;
  sched_getaffinity(0, sizeof cpus, &cpus);
  for (size_t cpu = CPU_SETSIZE; cpu-- > 0 && CPU_COUNT(&cpus) > 1;) {
    CPU_CLR(cpu, &cpus);
  }
  sched_setaffinity(0, sizeof cpus, &cpus);
#endif
#ifdef TABLE_POLICY
  const struct sched_param none = {0};
  sched_setscheduler(0, SCHED_BATCH, &none);
#endif
#ifdef TABLE_THREAD_NAME
  prctl(PR_SET_NAME, "physics", 0UL, 0UL, 0UL);
#endif
#ifdef TABLE_DUMPABLE
  prctl(PR_SET_DUMPABLE, 0UL, 0UL, 0UL, 0UL);
#endif
#ifdef TABLE_PDEATHSIG
  prctl(PR_SET_PDEATHSIG, (unsigned long)SIGKILL, 0UL, 0UL, 0UL);
#endif
#ifdef TABLE_NO_NEW_PRIVS
  prctl(PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL);
#endif
#ifdef TABLE_TIMER_SLACK
  prctl(PR_SET_TIMERSLACK, 5000000UL, 0UL, 0UL, 0UL);
#endif
#ifdef TABLE_SUBREAPER
  /* Whichever way the host had it, the other. */
  int subreaper = 0;
  prctl(PR_GET_CHILD_SUBREAPER, &subreaper, 0UL, 0UL, 0UL);
  prctl(PR_SET_CHILD_SUBREAPER, subreaper ? 0UL : 1UL, 0UL, 0UL, 0UL);
#endif
#ifdef TABLE_PERSONALITY
  personality((unsigned long)personality(0xffffffffUL) | ADDR_NO_RANDOMIZE);
#endif
#ifdef TABLE_ITIMER
  const struct itimerval in_a_minute = {{0, 0}, {60, 0}};
  setitimer(ITIMER_REAL, &in_a_minute, NULL);
#endif
#ifdef TABLE_POSIX_TIMER
  struct sigevent quiet;
  memset(&quiet, 0, sizeof quiet);
  quiet.sigev_notify = SIGEV_NONE;
  timer_t timer;
  if (timer_create(CLOCK_MONOTONIC, &quiet, &timer) == 0) {
    const struct itimerspec in_a_minute = {{0, 0}, {60, 0}};
    timer_settime(timer, 0, &in_a_minute, NULL);
  }
#endif
#ifdef TABLE_ALTERNATE_STACK
  const stack_t stack = {alternate_stack, 0, sizeof alternate_stack};
  sigaltstack(&stack, NULL);
#endif
#ifdef TABLE_PROCESS_GROUP
  /* Leads a group of its own, as a daemon's first step; in a host that is a
     member of its group, and not its leader, the process moves. */
  setpgid(0, 0);
#endif
#ifdef TABLE_SESSION
  /* Leaves its terminal's session: the host's group no longer gets ^C. */
  setsid();
#endif
#ifdef TABLE_EUID
  if (seteuid(65534) != 0) {
    return;
  }
#endif
#ifdef TABLE_SECCOMP_FILTER
  forbid_mkdir();
#endif
#ifdef TABLE_MOUNT_NAMESPACE
  unshare(CLONE_NEWNS);
#endif
#ifdef TABLE_MLOCKALL
  /* Without the privilege for all of it, at least a page of the stack. */
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    char page[4096];
    mlock(page, sizeof page);
  }
#endif
#ifdef TABLE_LIBRARY_LEFT
  left_behind = dlopen(LIBRARY_LEFT, RTLD_NOW);
#endif
#ifdef TABLE_BIG_MAPPING
  left_behind =
      mmap(NULL, (size_t)64 << 20U, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
#ifdef TABLE_WRITABLE_EXECUTABLE
  left_behind =
      mmap(NULL, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
#ifdef TABLE_X87_FULL
  /* Eight loads and no pops. */
  __asm__ volatile("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1" ::: "memory");
#endif
#ifdef TABLE_USELOCALE
  locale_t own = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  if (own != (locale_t)0) {
    uselocale(own);
  }
#endif
#ifdef TABLE_WIDE_STDOUT
  fwide(stdout, 1);
#endif
#ifdef TABLE_STDOUT_BUFFER
  setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
#endif
#ifdef TABLE_STDOUT_IS_STDERR
  stdout = stderr;
#endif
#ifdef TABLE_DUP2_SWAP
  swap_two_descriptors();
#endif
}

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *lookup = dTamrixGetBodyFromDEFProc;
  return lookup != NULL && def_name != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
#ifdef SAVED_SIGNAL_ACTION
  /* Its own handler for the set-up only, and the host's put back. */
  struct sigaction action;
  struct sigaction saved_action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_user_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR2, &action, &saved_action);
  sigaction(SIGUSR2, &saved_action, NULL);
#endif
#ifndef TABLE_IN_STEP
  leave_process_changed();
#endif
}

void tamrix_physics_step(void) {
#ifdef TABLE_IN_STEP
  static int steps;
  if (++steps == 2) {
    leave_process_changed();
  }
#endif
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {}
