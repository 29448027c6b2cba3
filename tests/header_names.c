/* What a host written against the header before 1.1.0 compiles, and what a
   host may ask of the version. */
#include "tamrix_physics.h"

#if !defined(TAMRIX_PHYSICS_HEADER_VERSION) || TAMRIX_PHYSICS_HEADER_VERSION < 10100
#error "TAMRIX_PHYSICS_HEADER_VERSION is missing or older than the names below"
#endif

/* The old and new names are one type: a pointer of either takes the other. */
physics_special_init_fn *old_set_up(tamrix_physics_special_init_fn *set_up);
physics_special_init_fn *old_set_up(tamrix_physics_special_init_fn *set_up) { return set_up; }
tamrix_get_body_fn *new_get_body(get_body_fn *get_body);
tamrix_get_body_fn *new_get_body(get_body_fn *get_body) { return get_body; }

/* printf is declared without any other include. */
void say(void);
void say(void) { printf("%s\n", "ok"); }
