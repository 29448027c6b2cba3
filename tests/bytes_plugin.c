/* A plug-in that keeps the contract; with BYTES_REWRITES_ITS_FILE it appends
   a byte to its own file in init, as a self-updating plug-in might: the file
   the loader names, else the one the checking process was given. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _GNU_SOURCE
#include <stddef.h>

#include "tamrix_physics.h"

#if defined(BYTES_REWRITES_ITS_FILE) || defined(BYTES_LOOKS_FOR_THE_CHECKER)
#include <stdio.h>

/* Up to `room` - 1 bytes of `file` into `text`, ended by a null; how many. */
static size_t read_whole(const char *file, char *text, size_t room) {
  FILE *in = fopen(file, "rb");
  const size_t size = in != NULL ? fread(text, 1, room - 1, in) : 0;
  if (in != NULL) {
    fclose(in);
  }
  text[size] = '\0';
  return size;
}
#endif

#ifdef BYTES_REWRITES_ITS_FILE
#include <dlfcn.h>
#include <string.h>
#include <unistd.h>

static int append_a_byte(const char *path) {
  FILE *file = fopen(path, "ab");
  if (file == NULL) {
    return 0;
  }
  const int put = fputc(0, file) != EOF;
  return fclose(file) == 0 && put;
}

/* The last argument of the parent's command line. */
static int append_to_parents_plugin(void) {
  char name[64];
  snprintf(name, sizeof name, "/proc/%d/cmdline", (int)getppid());
  static char line[8192];
  const size_t size = read_whole(name, line, sizeof line);
  const char *last = line;
  for (size_t at = 0; at + 1 < size; ++at) {
    if (line[at] == '\0') {
      last = line + at + 1;
    }
  }
  return append_a_byte(last);
}

static int in_this_library;

static void rewrite_own_file(void) {
  Dl_info info;
  if (dladdr(&in_this_library, &info) != 0 && info.dli_fname != NULL &&
      append_a_byte(info.dli_fname)) {
    return;
  }
  append_to_parents_plugin();
}
#endif

#ifdef BYTES_LOOKS_FOR_THE_CHECKER
/* A plug-in that tells a checker from a host by the process's name, command
   line or environment, and crashes in the checker's: a deceiving plug-in
   would behave there instead. Either way the check's process must not say. */
#include <signal.h>
#include <string.h>
#include <unistd.h> /* environ, with _GNU_SOURCE */

/* Whether `file` says "check", as "plugin-check" does. */
static int names_the_checker(const char *file) {
  static char text[8192];
  const size_t size = read_whole(file, text, sizeof text);
  for (size_t at = 0; at < size; ++at) {
    if (text[at] == '\0') {
      text[at] = ' ';
    }
  }
  return strstr(text, "check") != NULL;
}

static void look_for_the_checker(void) {
  int found = names_the_checker("/proc/self/comm") || names_the_checker("/proc/self/cmdline");
  for (char **variable = environ; *variable != NULL; ++variable) {
    found = found || strstr(*variable, "PLUGIN_CHECK") != NULL;
  }
  if (found) {
    raise(SIGSEGV);
  }
}
#endif

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
#ifdef BYTES_REWRITES_ITS_FILE
  rewrite_own_file();
#endif
#ifdef BYTES_LOOKS_FOR_THE_CHECKER
  look_for_the_checker();
#endif
}

void tamrix_physics_step(void) {}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {}
