/* The thirteen names with empty bodies: a plug-in file for the file checks.
   Each INSPECT_* macro adds one fault that only a file reader can see. */
/* Written without the contract header, as an author who copies the names
   might, so that the faults the header would refuse still compile. */
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

typedef void (*row)(void);

#ifdef INSPECT_CONST_ROW
/* A row that set-up cannot store into. */
EXPORT row const dTamrixSendProc = 0;
#elif defined(INSPECT_ROW_AS_FUNCTION)
/* The service written in place of the row that should point to it. */
EXPORT void dTamrixSendProc(void) {}
#else
EXPORT row dTamrixSendProc;
#endif
EXPORT row dTamrixGetGeomFromDEFProc;
EXPORT row dTamrixGetBodyFromDEFProc;
EXPORT row dTamrixGetContactJointGroupProc;
EXPORT row dTamrixReceiveProc;
EXPORT row dTamrixConsolePrintfProc;
#ifndef INSPECT_MISSING_ROW
EXPORT row dTamrixGetTimeProc;
#endif

EXPORT void physics_special_init(row geom_lookup, row body_lookup, row contact_group, row send,
                                 row receive, row console_printf, row time) {
  (void)geom_lookup;
  (void)body_lookup;
  (void)contact_group;
  (void)send;
  (void)receive;
  (void)console_printf;
  (void)time;
}

EXPORT void *getBody(const char *def_name) {
  (void)def_name;
  return 0;
}

EXPORT void tamrix_physics_init(void) {}
EXPORT void tamrix_physics_step(void) {}
EXPORT int tamrix_physics_collide(void *first, void *second) {
  (void)first;
  (void)second;
  return 0;
}
EXPORT void tamrix_physics_cleanup(void) {}
#if defined(INSPECT_CONSTRUCTOR) || defined(INSPECT_DESTRUCTOR)
static volatile int loaded;
#endif
#ifdef INSPECT_CONSTRUCTOR
__attribute__((constructor)) static void inspect_at_load(void) { loaded = 1; }
#endif
#ifdef INSPECT_DESTRUCTOR
__attribute__((destructor)) static void inspect_at_unload(void) { loaded = 0; }
#endif

#ifdef INSPECT_ATEXIT
/* An exit handler: code of the plug-in's that the C library keeps. */
#include <stdlib.h>
static void inspect_at_exit(void) {}
int inspect_register(void) { return atexit(inspect_at_exit); }
#endif

#ifdef INSPECT_UNIQUE
/* What g++ makes of a static local of an inline function with default
   visibility: one object for the whole process, which pins the library. */
__asm__(
    ".data\n.balign 4\n.globl inspect_unique\n.type inspect_unique, %gnu_unique_object\n"
    ".size inspect_unique, 4\ninspect_unique:\n.long 0\n.previous");
#endif

#ifdef INSPECT_IFUNC
/* A helper chosen by a resolver, which the loader runs at load. */
static int inspect_answer(void) { return 0; }
__attribute__((used)) static int (*inspect_choose(void))(void) { return inspect_answer; }
int inspect_chosen(void) __attribute__((ifunc("inspect_choose")));
int inspect_call(void) { return inspect_chosen(); }
#endif

#ifdef INSPECT_EXTRA_EXPORT
EXPORT int inspect_helper(void) { return 1; }
#endif

#ifdef INSPECT_USES_THREADS
/* Threads from a runtime DLL that a host's machine may lack. */
#include <pthread.h>
int inspect_lock(void) {
  pthread_mutex_t mutex;
  return pthread_mutex_init(&mutex, 0);
}
#endif

#ifdef INSPECT_TEXTREL
/* An absolute address inside the code, which the loader must patch. */
static int inspect_target;
__asm__(".text\n.quad inspect_target\n.previous");
int *inspect_keep(void) { return &inspect_target; }
#endif

#ifdef INSPECT_INITIAL_EXEC_TLS
/* Thread-locals the loader can only place in the static TLS block. */
static __thread int inspect_counter __attribute__((tls_model("initial-exec")));
int inspect_count(void) { return ++inspect_counter; }
#endif

#ifdef INSPECT_DYNAMIC_TLS
/* Thread-locals as a shared library has them by default. */
static __thread int inspect_counter;
int inspect_count(void) { return ++inspect_counter; }
#endif
