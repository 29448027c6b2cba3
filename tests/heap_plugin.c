/* A plug-in that keeps the contract, and with one HEAP_* macro defined either
   one way of leaking a heap block every life, or (the controls) a way of
   leaving the C library holding memory that is no leak. */
/* strdup and posix_memalign are POSIX, not C99. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _POSIX_C_SOURCE 200809L
#include <locale.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tamrix_physics.h"

/* The C library's own names for its allocator, which its headers do not declare. */
/* NOLINTBEGIN(bugprone-reserved-identifier) */
void *__libc_malloc(size_t size);
void *__libc_memalign(size_t alignment, size_t size);
/* NOLINTEND(bugprone-reserved-identifier) */
/* C11's, which the headers leave out of a C99 build. */
#if !defined(__STDC_VERSION__) || __STDC_VERSION__ < 201112L
void *aligned_alloc(size_t alignment, size_t size);
#endif

#if !defined(HEAP_LOCALE) && !defined(HEAP_CACHE_ONCE) && !defined(HEAP_PER_THREAD) && \
    !defined(HEAP_PER_THREAD_LISTED)
/* Where a leaked block goes, overwritten each life, so it is lost. */
static void *volatile lost;
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

#if defined(HEAP_LOCALE)
/* Formats a number the way a locale would, then puts the host's locale back:
   the C library keeps the locale's data it loaded for the whole process.
   init and cleanup never overlap another call, so the process-wide locale is
   the plug-in's to borrow there. */
/* NOLINTBEGIN(concurrency-mt-unsafe) */
static void in_locale(const char *name) {
  const char *const current = setlocale(LC_ALL, NULL);
  char *const saved = current != NULL ? strdup(current) : NULL;
  if (saved == NULL) {
    return;
  }
  if (setlocale(LC_ALL, name) != NULL) {
    char text[32];
    (void)snprintf(text, sizeof text, "%.2f", 0.5);
  }
  (void)setlocale(LC_ALL, saved);
  free(saved);
}
/* NOLINTEND(concurrency-mt-unsafe) */
#endif

#if defined(HEAP_CACHE_ONCE)
/* Made at the first init and kept for every life after it. */
static char *table;
#elif defined(HEAP_ONE_BLOCK)
/* A scratch buffer freed at cleanup, where one small block is lost instead. */
static void *scratch;
#endif

#if defined(HEAP_PER_THREAD) || defined(HEAP_PER_THREAD_LISTED)
/* Collide's scratch memory, one buffer per thread that calls it: made in init
   for the thread that calls init, so collide there never allocates, and on
   first use on any other thread. */
struct scratch {
  struct scratch *next;
  double values[64];
};
static _Thread_local struct scratch *thread_scratch;
/* Counts inits: a thread that outlived the life its buffer was made in makes
   a new one, without reading the old, which cleanup may have freed. Under a
   lock rather than atomics: on AArch64 the compiler's atomics bring in the
   runtime's own code run at load, which is no part of what this shows. */
static pthread_mutex_t scratch_lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned long lives;
static _Thread_local unsigned long thread_scratch_life;
#if defined(HEAP_PER_THREAD_LISTED)
/* Every buffer of the life, on any thread, so that cleanup frees them all. */
static struct scratch *all;
#endif

static struct scratch *new_scratch(void) {
  struct scratch *const made = calloc(1, sizeof *made);
  if (made == NULL) {
    return NULL;
  }
  pthread_mutex_lock(&scratch_lock);
#if defined(HEAP_PER_THREAD_LISTED)
  made->next = all;
  all = made;
#endif
  thread_scratch_life = lives;
  pthread_mutex_unlock(&scratch_lock);
  thread_scratch = made;
  return made;
}

static void free_scratch(void) {
#if defined(HEAP_PER_THREAD_LISTED)
  struct scratch *each;
  pthread_mutex_lock(&scratch_lock);
  each = all;
  all = NULL;
  pthread_mutex_unlock(&scratch_lock);
  while (each != NULL) {
    struct scratch *const next = each->next;
    free(each);
    each = next;
  }
#else
  /* Only the calling thread's: the others' are lost with their threads. */
  free(thread_scratch);
#endif
  thread_scratch = NULL;
}
#endif

void tamrix_physics_init(void) {
#if defined(HEAP_LIBC_MALLOC)
  lost = __libc_malloc(32);
#elif defined(HEAP_LIBC_MEMALIGN)
  lost = __libc_memalign(64, 32);
#elif defined(HEAP_POSIX_MEMALIGN)
  void *block = NULL;
  if (posix_memalign(&block, 64, 32) == 0) {
    lost = block;
  }
#elif defined(HEAP_ALIGNED_ALLOC)
  lost = aligned_alloc(64, 64);
#elif defined(HEAP_STRDUP)
  lost = strdup("a name kept from the world");
#elif defined(HEAP_LOCALE)
  in_locale("C.UTF-8");
#elif defined(HEAP_CACHE_ONCE)
  if (table == NULL) {
    table = malloc(4096);
  }
#elif defined(HEAP_ONE_BLOCK)
  scratch = malloc(4096);
#elif defined(HEAP_PER_THREAD) || defined(HEAP_PER_THREAD_LISTED)
  pthread_mutex_lock(&scratch_lock);
  ++lives;
  pthread_mutex_unlock(&scratch_lock);
  (void)new_scratch();
#endif
}

void tamrix_physics_step(void) {}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
#if defined(HEAP_PER_THREAD) || defined(HEAP_PER_THREAD_LISTED)
  struct scratch *mine = thread_scratch;
  unsigned long life;
  pthread_mutex_lock(&scratch_lock);
  life = lives;
  pthread_mutex_unlock(&scratch_lock);
  if (mine == NULL || thread_scratch_life != life) {
    mine = new_scratch();
  }
  if (mine != NULL) {
    mine->values[0] += 1.0;
  }
#endif
  return 0;
}

void tamrix_physics_cleanup(void) {
#if defined(HEAP_PER_THREAD) || defined(HEAP_PER_THREAD_LISTED)
  free_scratch();
#elif defined(HEAP_ONE_BLOCK)
  free(scratch);
  scratch = NULL;
  lost = malloc(1);
#elif defined(HEAP_LOCALE)
  /* The per-thread form: a locale object made, used and freed. */
  const locale_t made = newlocale(LC_ALL_MASK, "C.UTF-8", (locale_t)0);
  if (made != (locale_t)0) {
    const locale_t previous = uselocale(made);
    char text[32];
    (void)snprintf(text, sizeof text, "%.2f", 0.5);
    (void)uselocale(previous);
    freelocale(made);
  }
#endif
}
