/*
 * A host written from the contract's words alone, without the project's
 * header: it declares the thirteen names itself and loads the plug-in by
 * path, as a host built elsewhere would. Exit status 0 means all held.
 *
 *   bare_host PLUGIN
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* ---- The only platform-specific part: load, find a name, unload ---------- */
#if defined(_WIN32)
#include <windows.h>
typedef HMODULE library;
static library load(const char *path) { return LoadLibraryA(path); }
static void *find(library lib, const char *name) {
  FARPROC address = GetProcAddress(lib, name);
  void *result;
  memcpy(&result, &address, sizeof result);
  return result;
}
static void unload(library lib) { FreeLibrary(lib); }
#else
#include <dlfcn.h>
typedef void *library;
static library load(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void *find(library lib, const char *name) { return dlsym(lib, name); }
static void unload(library lib) { dlclose(lib); }
#endif

/* ---- The contract as this host understands it ----------------------------- */
typedef void *(*lookup_fn)(const char *);
typedef void (*printer_fn)(const char *, ...);
typedef void (*any_fn)(void);
typedef void (*special_init_fn)(any_fn, lookup_fn, any_fn, any_fn, any_fn, printer_fn, any_fn);

static const char *const row_names[7] = {
    "dTamrixGetGeomFromDEFProc", "dTamrixGetBodyFromDEFProc", "dTamrixGetContactJointGroupProc",
    "dTamrixSendProc",           "dTamrixReceiveProc",        "dTamrixConsolePrintfProc",
    "dTamrixGetTimeProc"};

static struct {
  library lib;
  void *rows[7];
  special_init_fn special_init;
  void *(*get_body)(const char *);
  void (*init)(void);
  void (*step)(void);
  int (*collide)(void *, void *);
  void (*cleanup)(void);
} plugin;

static int failures;
static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "bare host: %s\n", what);
    ++failures;
  }
}

/* Function addresses come back as object pointers from both loaders. */
#define RESOLVE(field, name)                              \
  do {                                                    \
    void *address = find(plugin.lib, name);               \
    check(address != NULL, "missing export " name);       \
    memcpy(&plugin.field, &address, sizeof plugin.field); \
  } while (0)

static int open_plugin(const char *path) {
  int row;
  plugin.lib = load(path);
  if (plugin.lib == NULL) {
    fprintf(stderr, "bare host: cannot load %s\n", path);
    return 0;
  }
  for (row = 0; row < 7; ++row) {
    plugin.rows[row] = find(plugin.lib, row_names[row]);
    check(plugin.rows[row] != NULL, row_names[row]);
  }
  RESOLVE(special_init, "physics_special_init");
  RESOLVE(get_body, "getBody");
  RESOLVE(init, "tamrix_physics_init");
  RESOLVE(step, "tamrix_physics_step");
  RESOLVE(collide, "tamrix_physics_collide");
  RESOLVE(cleanup, "tamrix_physics_cleanup");
  return failures == 0;
}

/* A function's address as a plain pointer, to compare with a row. */
static void *plain(any_fn function) {
  void *address;
  memcpy(&address, &function, sizeof address);
  return address;
}

/* What a row holds: rows are data, so find() gave the row's own address. */
static void *row_value(int row) {
  any_fn value;
  memcpy(&value, plugin.rows[row], sizeof value);
  return plain(value);
}

/* ---- This host's world: one body, "arm"; a console that keeps the last line */
static int arm_body;
static char last_lookup[32];
static char console[128];
static int console_calls;

static void *lookup_body(const char *name) {
  snprintf(last_lookup, sizeof last_lookup, "%s", name);
  return strcmp(name, "arm") == 0 ? &arm_body : NULL;
}
static void *lookup_nothing(const char *name) {
  (void)name;
  return NULL;
}
static void print_console(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(console, sizeof console, format, args);
  va_end(args);
  ++console_calls;
}
/* Distinct functions for the rows the plug-in only stores. */
static void service_1(void) {}
static void service_3(void) {}
static void service_4(void) {}
static void service_5(void) {}
static void service_7(void) {}

int main(int argc, char **argv) {
  int row;
  int life;
  void *expected[7];
  if (argc != 2) {
    fprintf(stderr, "usage: bare_host PLUGIN\n");
    return 2;
  }
  /* Twice: an unloaded plug-in keeps nothing for the next load. */
  for (life = 0; life < 2; ++life) {
    if (!open_plugin(argv[1])) {
      return 1;
    }
    for (row = 0; row < 7; ++row) {
      check(row_value(row) == NULL, "a table row is not null at load");
    }
    plugin.special_init(service_1, lookup_body, service_3, service_4, service_5, print_console,
                        service_7);
    expected[0] = plain(service_1);
    expected[1] = plain((any_fn)lookup_body);
    expected[2] = plain(service_3);
    expected[3] = plain(service_4);
    expected[4] = plain(service_5);
    expected[5] = plain((any_fn)print_console);
    expected[6] = plain(service_7);
    for (row = 0; row < 7; ++row) {
      check(row_value(row) == expected[row], "a row does not hold its argument");
    }

    console_calls = 0;
    plugin.init();
    check(strcmp(last_lookup, "body1") == 0, "init did not ask for body1");
    check(console_calls == 1 && strcmp(console, "not found") == 0, "init did not say not found");
    plugin.step();
    check(plugin.collide(NULL, NULL) == 0 && plugin.collide(&arm_body, &arm_body) == 0,
          "collide did not answer 0");

    console_calls = 0;
    check(plugin.get_body("arm") == &arm_body && console_calls == 0, "getBody missed arm");
    check(plugin.get_body("ghost") == NULL, "getBody found a ghost");
    check(console_calls == 1 &&
              strcmp(console, "Warning: did not find body with DEF name: ghost") == 0,
          "getBody did not warn about the ghost");
    plugin.cleanup();

    /* A new table replaces the old one for every call after it. */
    plugin.special_init(NULL, lookup_nothing, NULL, NULL, NULL, print_console, NULL);
    check(plugin.get_body("arm") == NULL, "getBody used the replaced lookup");
    plugin.init();
    plugin.cleanup();
    unload(plugin.lib);
  }
  if (failures == 0) {
    puts("bare host: all checks held");
  }
  return failures == 0 ? 0 : 1;
}
