/* A plug-in that keeps the contract; with BYTES_REWRITES_ITS_FILE it appends
   a byte to its own file in init, as a self-updating plug-in might: the file
   the loader names, else the one the checking process was given. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
#define _GNU_SOURCE
#include <stddef.h>

#include "tamrix_physics.h"

#ifdef BYTES_REWRITES_ITS_FILE
#include <dlfcn.h>
#include <stdio.h>
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
  FILE *file = fopen(name, "rb");
  if (file == NULL) {
    return 0;
  }
  static char line[8192];
  const size_t size = fread(line, 1, sizeof line - 1, file);
  fclose(file);
  line[size] = '\0';
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

tamrix_body_handle getBody(const char *def_name) {
  tamrix_body_lookup_fn *const lookup = dTamrixGetBodyFromDEFProc;
  return lookup != NULL ? lookup(def_name) : NULL;
}

void tamrix_physics_init(void) {
#ifdef BYTES_REWRITES_ITS_FILE
  rewrite_own_file();
#endif
}

void tamrix_physics_step(void) {}

int tamrix_physics_collide(tamrix_geom_handle first, tamrix_geom_handle second) {
  (void)first;
  (void)second;
  return 0;
}

void tamrix_physics_cleanup(void) {}
