/* Plug-ins that behave while the host offers everything one way, and fail
   when it offers the same within the contract another way: one VARIED_*
   macro per build picks the fault.

   Time (built with the engine): a controller spreads a small impulse on the
   arm over each step, as impulse / the step's length, and reads the length
   from the host's time. At time 0 every fault below pushes a few newtons; in
   a life whose time starts 200 days in, a float of seconds or an int of
   milliseconds no longer changes from one step to the next. VARIED_SOUND_TIME
   keeps the time in a double and must pass --strict.

   Messages (built without the engine): each step the plug-in reads what
   waits on channel 1 and remembers the last message, to tell a repeat. The
   host lends the buffer until the next receive; VARIED_SOUND_MESSAGES copies
   what it keeps, within the size the host gives, and must pass --strict. */
#include <stddef.h>

#include "tamrix_physics.h"

#ifdef VARIED_ENGINE
#include <math.h>
#include <ode/ode.h>

static dBodyID arm;
static int steps_seen;
static const double impulse = 0.02; /* N·s per step */

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  arm = (dBodyID)(void *)getBody("arm");
  steps_seen = 0;
}

#if defined(VARIED_FLOAT_TIME)
/* Seconds in a float: 0.01 s steps while the time is small, 0 s once a
   float's steps are 2 s wide. */
static float last_time;

static double step_length(double now) {
  const float now_float = (float)now;
  const float length = now_float - last_time;
  last_time = now_float;
  return length;
}
#elif defined(VARIED_INT_MILLIS)
/* Milliseconds in an int, which holds under 25 days of them. */
static int last_millis;

static double step_length(double now) {
  const int millis = (int)(now * 1000.0);
  const int length = millis - last_millis;
  last_millis = millis;
  return length / 1000.0;
}
#else
static double last_time;

static double step_length(double now) {
  const double length = now - last_time;
  last_time = now;
  return length;
}
#endif

void tamrix_physics_step(void) {
  tamrix_time_fn *const time = dTamrixGetTimeProc;
  double now;
  double length;
  double push;
  if (arm == NULL || time == NULL) {
    return;
  }
  now = time();
  length = step_length(now);
  if (steps_seen++ == 0) {
    return; /* no step to measure yet */
  }
#ifdef VARIED_GROWS_WITH_TIME
  /* A wind that rises by 0.1 N a second, counted from a start the plug-in
     takes to be the host's time 0. */
  push = impulse / length + 0.1 * now;
#elif defined(VARIED_SOUND_TIME)
  /* The host's steps only ever move forward; a step measured as none pushes
     nothing, and a gust that follows the clock stays within its strength. */
  push = (length > 0 ? impulse / length : 0) + sin(now);
#else
  push = impulse / length;
#endif
  dBodyAddForce(arm, 0, 0, push);
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) { arm = NULL; }

#else
#include <stdlib.h>
#include <string.h>

enum { channel = 1, kept_most = 128 };

#ifdef VARIED_KEEPS_POINTER
/* The host's buffer itself, as if it were the plug-in's. */
static const char *last;
#else
static char last[kept_most];
#endif
static size_t last_size;
static long repeats;

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return def_name != NULL && lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
  last_size = 0;
  repeats = 0;
}

static void remember(const char *data, size_t size) {
#if defined(VARIED_KEEPS_POINTER)
  last = data;
  last_size = size;
#elif defined(VARIED_MESSAGE_AS_STRING)
  /* Text, the author thought, and bounded: but only a 0 byte ends it. */
  (void)size;
  strncpy(last, data, sizeof last - 1);
  last_size = strlen(last);
#else
  last_size = size < sizeof last ? size : sizeof last;
  memcpy(last, data, last_size);
#endif
}

void tamrix_physics_step(void) {
  tamrix_receive_fn *const receive = dTamrixReceiveProc;
  tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
  for (;;) {
    size_t size = 0;
    const char *const data = receive != NULL ? (const char *)receive(channel, &size) : NULL;
    if (data == NULL) {
      return;
    }
    if (last_size > 0 && size >= last_size && memcmp(data, last, last_size) == 0) {
      ++repeats;
    }
#ifdef VARIED_MESSAGE_AS_FORMAT
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (print != NULL && size < kept_most && memchr(data, 0, size) == NULL) {
      char text[kept_most];
      memcpy(text, data, size);
      text[size] = 0;
      print(text); /* the host's text as the format */
    }
#pragma GCC diagnostic pop
#else
    if (print != NULL) {
      print("received %.*s", (int)(size < 16 ? size : 16), data);
    }
#endif
    remember(data, size);
#ifdef VARIED_FREES_BUFFER
    /* Done with it, the author thought; but the buffer is the host's. */
    free((void *)data);
#endif
  }
}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {
  tamrix_console_printf_fn *const print = dTamrixConsolePrintfProc;
  if (print != NULL) {
    print("repeats: %ld", repeats);
  }
  last_size = 0;
}
#endif
