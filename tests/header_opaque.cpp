// Must not compile: a handle type defined before the header would let code
// look inside a host's handles.
struct tamrix_geom {
  int inside;
};
#include "tamrix_physics.h"
