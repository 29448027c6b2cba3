/* A plug-in that keeps the contract but, with one WHOLE_* macro defined,
   leaves in init a change to the host's process that no row of the table
   names, only a line of the process's own accounts: whole-process must name
   it. With WHOLE_UNDONE as well, cleanup undoes what init did, and the
   plug-in must pass. Built with the kit's service table. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tamrix_physics.h"

#ifdef WHOLE_TIME_SLICE
/* The kernel's own, which the C library does not declare. */
struct slice_attributes {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime; /* for the normal policy, the slice the thread asks for */
  uint64_t deadline;
  uint64_t period;
};

/* The calling thread's time slice, in ns; 0 gives back the system's. */
static void ask_for_slice(uint64_t slice) {
  struct slice_attributes attributes;
  memset(&attributes, 0, sizeof attributes);
  attributes.size = sizeof attributes;
  attributes.nice = getpriority(PRIO_PROCESS, 0);
  attributes.runtime = slice;
  syscall(SYS_sched_setattr, 0, &attributes, 0U);
}
#endif

#ifdef WHOLE_NONBLOCKING_STDOUT
/* A host's printf then fails with EAGAIN on a full pipe, and its output is lost. */
static int stdout_flags = -1;
#endif
#ifdef WHOLE_READ_ONLY_PAGE
/* "Kept for later", and never given back. */
static void *kept_page = MAP_FAILED;
#endif
#ifdef WHOLE_FILE_MAPPED
static void *kept_file = MAP_FAILED;
#endif
#ifdef WHOLE_SHARED_MEMORY
/* Attached and marked for removal: it lives while the host does, and goes
   with the process, so no test leaves one on the machine. */
static void *segment;
static int attached;
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *lookup = dTamrixGetBodyFromDEFProc;
  return lookup != NULL && def_name != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
#ifdef WHOLE_NONBLOCKING_STDOUT
  stdout_flags = fcntl(STDOUT_FILENO, F_GETFL);
  if (stdout_flags >= 0) {
    fcntl(STDOUT_FILENO, F_SETFL, stdout_flags | O_NONBLOCK);
  }
#endif
#ifdef WHOLE_READ_ONLY_PAGE
  kept_page = mmap(NULL, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
#ifdef WHOLE_FILE_MAPPED
  const int file = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (file >= 0) {
    kept_file = mmap(NULL, 4096, PROT_READ, MAP_PRIVATE, file, 0);
    close(file);
  }
#endif
#ifdef WHOLE_SHARED_MEMORY
  const int id = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  if (id >= 0) {
    segment = shmat(id, NULL, 0);
    attached = segment != (const void *)MAP_FAILED; /* both are (void *)-1 */
    shmctl(id, IPC_RMID, NULL);
  }
#endif
#ifdef WHOLE_TIME_SLICE
  /* The host's thread then runs 20 ms at a time before others may. */
  ask_for_slice(20000000U);
#endif
}

void tamrix_physics_step(void) {}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {
#ifdef WHOLE_UNDONE
#ifdef WHOLE_NONBLOCKING_STDOUT
  if (stdout_flags >= 0) {
    fcntl(STDOUT_FILENO, F_SETFL, stdout_flags);
  }
#endif
#ifdef WHOLE_READ_ONLY_PAGE
  if (kept_page != MAP_FAILED) {
    munmap(kept_page, 4096);
    kept_page = MAP_FAILED;
  }
#endif
#ifdef WHOLE_FILE_MAPPED
  if (kept_file != MAP_FAILED) {
    munmap(kept_file, 4096);
    kept_file = MAP_FAILED;
  }
#endif
#ifdef WHOLE_SHARED_MEMORY
  if (attached) {
    shmdt(segment);
    attached = 0;
  }
#endif
#ifdef WHOLE_TIME_SLICE
  ask_for_slice(0U);
#endif
#endif
}
