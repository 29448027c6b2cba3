/*
 * The contract between a Tamrix host simulator and every physics plug-in it
 * loads: what the host promises, and what any plug-in may and must do. Each
 * declaration carries its own rule; what one plug-in does beyond them is that
 * plug-in's own business, told in its own sources.
 *
 * Order: the host loads the plug-in (no plug-in code may run then), calls
 * physics_special_init() with its seven services, then tamrix_physics_init(),
 * any number of tamrix_physics_step() and tamrix_physics_collide(), and
 * tamrix_physics_cleanup(); it may start over with tamrix_physics_init(), in a
 * world with new handles. Other code in the process may call getBody() at any
 * time after physics_special_init().
 *
 * Threads: the host never runs physics_special_init() beside itself,
 * tamrix_physics_init() or getBody(), nor tamrix_physics_init() beside
 * tamrix_physics_cleanup(). Everything else, step and collide included, may
 * run on several host threads at once: a plug-in locks what its calls share.
 *
 * Ownership: the handles and what they lead to are the host's, and keep the
 * settings the host gave them. What a plug-in makes (bodies, joints,
 * geometries, threads, memory) is its own, and is gone when
 * tamrix_physics_cleanup() returns.
 *
 * Valid C99 and C++11, on ELF systems and on Windows. Each function is
 * declared through its function type, so a definition with the wrong
 * signature does not compile, and a host casts dlsym() or GetProcAddress()
 * results to a pointer to that same type.
 */
#ifndef HOST_INTERFACE_TAMRIX_PHYSICS_H
#define HOST_INTERFACE_TAMRIX_PHYSICS_H

/*
 * The contract's version, major * 10000 + minor * 100 + patch, raised with
 * every change to this header. 1.1.0 added the tamrix_ prefix to the
 * set-up and getBody function types; 1.1.1 states every rule as any plug-in's,
 * with no change to a declaration.
 */
#define TAMRIX_PHYSICS_HEADER_VERSION 10101

#include <stddef.h>
/*
 * Included on every system, although only MinGW needs it (its <stdio.h> names
 * the printf dialect in use, see TAMRIX_PHYSICS_PRINTF_LIKE): code that came
 * to rely on it on one system would otherwise break on the others.
 */
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * On Windows a DLL exports what it marks dllexport, and code linked to it must
 * see its data as dllimport: the build of a plug-in itself defines
 * TAMRIX_PHYSICS_BUILDING_PLUGIN, everyone else leaves it undefined.
 */
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(TAMRIX_PHYSICS_BUILDING_PLUGIN)
#define TAMRIX_PHYSICS_EXPORT __declspec(dllexport)
#else
#define TAMRIX_PHYSICS_EXPORT __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define TAMRIX_PHYSICS_EXPORT __attribute__((visibility("default")))
#else
#define TAMRIX_PHYSICS_EXPORT
#endif

/*
 * MinGW formats with either Microsoft's or its own printf, chosen per
 * translation unit; its <stdio.h> names the dialect in use, so %zu and
 * friends are checked as they will be formatted.
 */
#if defined(__MINGW32__)
#define TAMRIX_PHYSICS_PRINTF_LIKE(fmt, first) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#elif defined(__GNUC__) || defined(__clang__)
#define TAMRIX_PHYSICS_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define TAMRIX_PHYSICS_PRINTF_LIKE(fmt, first)
#endif

/*
 * The handles are the host's, opaque but to the host's engine, and valid until
 * cleanup; a plug-in never destroys one. Null means none.
 */

/** A body of the host's world; a plug-in may push it, and leaves its settings as they are. */
typedef struct tamrix_body *tamrix_body_handle;

/** A geometry of the host's world; a plug-in leaves its settings as they are. */
typedef struct tamrix_geom *tamrix_geom_handle;

/** The host's contact joint group; a plug-in adds contacts to it, and never empties it. */
typedef struct tamrix_contact_group *tamrix_contact_group_handle;

/*
 * ---- Host services: functions the host implements ----------------------
 *
 * The host's services may be called from any plug-in call after set-up, on any
 * thread, several at once.
 */

/** The geometry named `def_name` in the world now running, or null. Never pass a null name. */
typedef tamrix_geom_handle tamrix_geom_lookup_fn(const char *def_name);

/** The body named `def_name` in the world now running, or null. Never pass a null name. */
typedef tamrix_body_handle tamrix_body_lookup_fn(const char *def_name);

/** The host's contact joint group, which it empties after each step; valid until cleanup. */
typedef tamrix_contact_group_handle tamrix_contact_group_fn(void);

/** Queue `size` bytes at `data` on `channel`; the host copies them before returning. */
typedef void tamrix_send_fn(int channel, const void *data, size_t size);

/**
 * The oldest unread buffer on `channel`, with its length stored in `*size`, or
 * null (and `*size` = 0) when none is waiting. The buffer is the host's, valid
 * until the next receive; copy what you keep.
 */
typedef const void *tamrix_receive_fn(int channel, size_t *size);

/**
 * Write to the host's console, formatted like printf(); a message needs no
 * newline. Text the plug-in did not write (a DEF name, a message received) goes
 * in as an argument, never as the format.
 */
typedef void tamrix_console_printf_fn(const char *format, ...) TAMRIX_PHYSICS_PRINTF_LIKE(1, 2);

/** Simulated time in seconds since the simulation started. */
typedef double tamrix_time_fn(void);

/* ---- The service table: filled only by physics_special_init() ---------- */

/*
 * Each row is null from load until physics_special_init() fills it, and is
 * exported data, so any code in the process may read it by name, or fill it
 * through physics_special_init(). Any plug-in code may call any row, but reads
 * the row afresh for each call (never a copy kept from before), tests it for
 * null (a host may offer no such service) and never writes it outside
 * physics_special_init().
 */

/** Row 1: the host's geometry lookup. */
extern TAMRIX_PHYSICS_EXPORT tamrix_geom_lookup_fn *dTamrixGetGeomFromDEFProc;
/** Row 2: the host's body lookup, which getBody() answers with. */
extern TAMRIX_PHYSICS_EXPORT tamrix_body_lookup_fn *dTamrixGetBodyFromDEFProc;
/** Row 3: the host's contact group, the only group a plug-in's contacts go in. */
extern TAMRIX_PHYSICS_EXPORT tamrix_contact_group_fn *dTamrixGetContactJointGroupProc;
/** Row 4: the host's send. */
extern TAMRIX_PHYSICS_EXPORT tamrix_send_fn *dTamrixSendProc;
/** Row 5: the host's receive. */
extern TAMRIX_PHYSICS_EXPORT tamrix_receive_fn *dTamrixReceiveProc;
/** Row 6: the host's console, the only place a plug-in prints to. */
extern TAMRIX_PHYSICS_EXPORT tamrix_console_printf_fn *dTamrixConsolePrintfProc;
/** Row 7: the host's time. */
extern TAMRIX_PHYSICS_EXPORT tamrix_time_fn *dTamrixGetTimeProc;

/* ---- Functions the plug-in exports -------------------------------------- */

/**
 * Set-up, called by the host before anything else, and perhaps again: stores
 * argument n in row n, all seven every call, null included, and does nothing
 * else. A later call replaces the whole table for every call after it.
 */
typedef void tamrix_physics_special_init_fn(tamrix_geom_lookup_fn *geom_lookup,
                                            tamrix_body_lookup_fn *body_lookup,
                                            tamrix_contact_group_fn *contact_group,
                                            tamrix_send_fn *send, tamrix_receive_fn *receive,
                                            tamrix_console_printf_fn *console_printf,
                                            tamrix_time_fn *time);
TAMRIX_PHYSICS_EXPORT tamrix_physics_special_init_fn physics_special_init;

/**
 * The body named `def_name` as row 2 answers now, in the world now running, or
 * null; what it says on a miss is the plug-in's choice. Callable at any time
 * after set-up, on any thread: it keeps no handle between calls, and a null
 * name, which never reaches the host, finds nothing.
 */
typedef tamrix_body_handle tamrix_get_body_fn(const char *def_name);
TAMRIX_PHYSICS_EXPORT tamrix_get_body_fn getBody;

/**
 * Simulation start, after set-up, and again after each cleanup, perhaps in a
 * new world: look up the host's handles afresh and make what the plug-in owns.
 */
typedef void tamrix_physics_init_fn(void);
TAMRIX_PHYSICS_EXPORT tamrix_physics_init_fn tamrix_physics_init;

/**
 * Each physics step, perhaps on several threads at once: lock shared state. May
 * push the host's bodies (forces, torques); never steps the world, allocates,
 * prints or makes a system call.
 */
typedef void tamrix_physics_step_fn(void);
TAMRIX_PHYSICS_EXPORT tamrix_physics_step_fn tamrix_physics_step;

/**
 * A candidate pair of geometries, perhaps on several threads at once: lock
 * shared state. Returns 0 to leave the pair to the host's contacts, non-zero when
 * the plug-in has dealt with it, any contacts made in row 3's group. Never
 * allocates, prints or makes a system call.
 */
typedef int tamrix_physics_collide_fn(tamrix_geom_handle first, tamrix_geom_handle second);
TAMRIX_PHYSICS_EXPORT tamrix_physics_collide_fn tamrix_physics_collide;

/**
 * Simulation end: destroys what the plug-in made (bodies, joints, geometries,
 * threads, locks), forgets the host's handles and leaves the host's objects as
 * the host set them. The host may call tamrix_physics_init() again after it.
 */
typedef void tamrix_physics_cleanup_fn(void);
TAMRIX_PHYSICS_EXPORT tamrix_physics_cleanup_fn tamrix_physics_cleanup;

/* The names these two types had before 1.1.0, for hosts that use them. */
typedef tamrix_physics_special_init_fn physics_special_init_fn;
typedef tamrix_get_body_fn get_body_fn;

/*
 * Every row is one pointer wide, as hosts that reach the rows by name assume.
 * C99 has no static assertion, so there the checks wait for a C11 or C++
 * build of the same code.
 */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define TAMRIX_PHYSICS_STATIC_ASSERT(condition, message) static_assert(condition, message)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TAMRIX_PHYSICS_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif
#ifdef TAMRIX_PHYSICS_STATIC_ASSERT
TAMRIX_PHYSICS_STATIC_ASSERT(sizeof(dTamrixGetGeomFromDEFProc) == sizeof(void *),
                             "row 1 is not pointer-sized");
TAMRIX_PHYSICS_STATIC_ASSERT(sizeof(dTamrixGetBodyFromDEFProc) == sizeof(void *),
                             "row 2 is not pointer-sized");
TAMRIX_PHYSICS_STATIC_ASSERT(sizeof(dTamrixGetContactJointGroupProc) == sizeof(void *),
                             "row 3 is not pointer-sized");
TAMRIX_PHYSICS_STATIC_ASSERT(sizeof(dTamrixSendProc) == sizeof(void *),
                             "row 4 is not pointer-sized");
TAMRIX_PHYSICS_STATIC_ASSERT(sizeof(dTamrixReceiveProc) == sizeof(void *),
                             "row 5 is not pointer-sized");
TAMRIX_PHYSICS_STATIC_ASSERT(sizeof(dTamrixConsolePrintfProc) == sizeof(void *),
                             "row 6 is not pointer-sized");
TAMRIX_PHYSICS_STATIC_ASSERT(sizeof(dTamrixGetTimeProc) == sizeof(void *),
                             "row 7 is not pointer-sized");
#endif

#ifdef __cplusplus
} /* extern "C" */

/*
 * The handles are the host's: nothing that includes this header may see
 * inside them, so no definition of the three structures may come before it.
 * C has no way to ask whether a type is complete; every C++ build asks.
 */
namespace tamrix_physics_detail {
template <typename T, typename = void>
struct is_complete {
  static const bool value = false;
};
template <typename T>
struct is_complete<T, decltype(void(sizeof(T)))> {
  static const bool value = true;
};
}  // namespace tamrix_physics_detail
static_assert(!tamrix_physics_detail::is_complete<struct tamrix_body>::value,
              "tamrix_body must stay incomplete: body handles are opaque");
static_assert(!tamrix_physics_detail::is_complete<struct tamrix_geom>::value,
              "tamrix_geom must stay incomplete: geometry handles are opaque");
static_assert(!tamrix_physics_detail::is_complete<struct tamrix_contact_group>::value,
              "tamrix_contact_group must stay incomplete: contact group handles are opaque");
#endif

#endif /* HOST_INTERFACE_TAMRIX_PHYSICS_H */
