/*
 * Contract between a Tamrix host simulator and a physics plug-in.
 *
 * Call order: the host loads the plug-in (no plug-in code runs), calls
 * physics_special_init() once with its seven services, then
 * tamrix_physics_init(), any number of tamrix_physics_step() and
 * tamrix_physics_collide(), and tamrix_physics_cleanup(); it may start over
 * with tamrix_physics_init(). Other code in the process may call getBody()
 * at any time after physics_special_init().
 *
 * Threads: physics_special_init() must not overlap itself,
 * tamrix_physics_init() or getBody(); tamrix_physics_init() and
 * tamrix_physics_cleanup() must not overlap each other. Everything else may
 * run on any thread at the same time.
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
 * set-up and getBody function types.
 */
#define TAMRIX_PHYSICS_HEADER_VERSION 10100

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

/** A body of the host's physics world. Owned by the host; null means none. */
typedef struct tamrix_body *tamrix_body_handle;

/** A geometry of the host's physics world. Owned by the host; null means none. */
typedef struct tamrix_geom *tamrix_geom_handle;

/** The host's contact joint group. Owned by the host; null means none. */
typedef struct tamrix_contact_group *tamrix_contact_group_handle;

/* ---- Host services: functions the host implements ---------------------- */

/** The geometry whose DEF name is `def_name`, or null. The name is borrowed for the call. */
typedef tamrix_geom_handle tamrix_geom_lookup_fn(const char *def_name);

/** The body whose DEF name is `def_name`, or null. The name is borrowed for the call. */
typedef tamrix_body_handle tamrix_body_lookup_fn(const char *def_name);

/** The host's contact joint group, valid until the host ends the simulation. */
typedef tamrix_contact_group_handle tamrix_contact_group_fn(void);

/** Queue `size` bytes at `data` on `channel`; the host copies them before returning. */
typedef void tamrix_send_fn(int channel, const void *data, size_t size);

/**
 * The oldest unread buffer on `channel`, with its length stored in `*size`, or
 * null (and `*size` = 0) when none is waiting. Valid until the next receive.
 */
typedef const void *tamrix_receive_fn(int channel, size_t *size);

/** Write to the host's console, formatted like printf(). A message needs no newline. */
typedef void tamrix_console_printf_fn(const char *format, ...) TAMRIX_PHYSICS_PRINTF_LIKE(1, 2);

/** Simulated time in seconds since the simulation started. */
typedef double tamrix_time_fn(void);

/* ---- The service table: filled only by physics_special_init() ---------- */

/*
 * Each row is null from load until physics_special_init() fills it. Rows are
 * exported data so that any code in the process may read them by name; the
 * plug-in reads a row afresh each time it uses it.
 */

/** Row 1. Stored only; the plug-in never calls it. */
extern TAMRIX_PHYSICS_EXPORT tamrix_geom_lookup_fn *dTamrixGetGeomFromDEFProc;
/** Row 2. Used by tamrix_physics_init() and getBody(); if null, no body is ever found. */
extern TAMRIX_PHYSICS_EXPORT tamrix_body_lookup_fn *dTamrixGetBodyFromDEFProc;
/** Row 3. Stored only. */
extern TAMRIX_PHYSICS_EXPORT tamrix_contact_group_fn *dTamrixGetContactJointGroupProc;
/** Row 4. Stored only. */
extern TAMRIX_PHYSICS_EXPORT tamrix_send_fn *dTamrixSendProc;
/** Row 5. Stored only. */
extern TAMRIX_PHYSICS_EXPORT tamrix_receive_fn *dTamrixReceiveProc;
/** Row 6. Used for the plug-in's messages; if null, messages are dropped. */
extern TAMRIX_PHYSICS_EXPORT tamrix_console_printf_fn *dTamrixConsolePrintfProc;
/** Row 7. Stored only. */
extern TAMRIX_PHYSICS_EXPORT tamrix_time_fn *dTamrixGetTimeProc;

/* ---- Functions the plug-in exports -------------------------------------- */

/**
 * Fill the service table, argument n into row n, all seven every call. Any
 * argument may be null and is stored as it is. Call before anything else; a
 * later call replaces the whole table for every call after it.
 */
typedef void tamrix_physics_special_init_fn(tamrix_geom_lookup_fn *geom_lookup,
                                            tamrix_body_lookup_fn *body_lookup,
                                            tamrix_contact_group_fn *contact_group,
                                            tamrix_send_fn *send, tamrix_receive_fn *receive,
                                            tamrix_console_printf_fn *console_printf,
                                            tamrix_time_fn *time);
TAMRIX_PHYSICS_EXPORT tamrix_physics_special_init_fn physics_special_init;

/**
 * The body named `def_name`, or null; on a miss, writes "Warning: did not find
 * body with DEF name: <name>" to the console. A null name is never looked up
 * and reads "(null)" in the warning. Keeps nothing between calls.
 */
typedef tamrix_body_handle tamrix_get_body_fn(const char *def_name);
TAMRIX_PHYSICS_EXPORT tamrix_get_body_fn getBody;

/**
 * Simulation start: creates the plug-in's mutex unless it already exists, then
 * writes "not found" to the console when the host has no body named "body1".
 */
typedef void tamrix_physics_init_fn(void);
TAMRIX_PHYSICS_EXPORT tamrix_physics_init_fn tamrix_physics_init;

/** Each physics step. Does nothing; safe at any time, on any thread. */
typedef void tamrix_physics_step_fn(void);
TAMRIX_PHYSICS_EXPORT tamrix_physics_step_fn tamrix_physics_step;

/** For a pair of geometries. Returns 0 whatever it is given, null included; any thread. */
typedef int tamrix_physics_collide_fn(tamrix_geom_handle first, tamrix_geom_handle second);
TAMRIX_PHYSICS_EXPORT tamrix_physics_collide_fn tamrix_physics_collide;

/** Simulation end: destroys the mutex made by tamrix_physics_init(), if it exists. */
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
