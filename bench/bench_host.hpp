// The cheapest host services a benchmark can give: a fixed world of three
// bodies and a console that only counts, so timings show the plug-in, not the
// host.
#pragma once

#include <cstring>

#include "tamrix_physics.h"

namespace bench_host {

inline int console_calls = 0;

inline tamrix_body_handle body_lookup(const char *def_name) {
  static const char *const bodies[] = {"arm", "base", "wheel"};
  for (const char *body : bodies) {
    if (std::strcmp(body, def_name) == 0) {
      // Any non-null value stands for a handle; plug-ins never look inside.
      return reinterpret_cast<tamrix_body_handle>(const_cast<char *>(body));
    }
  }
  return nullptr;
}

inline void console_printf(const char * /*format*/, ...) { ++console_calls; }

// The three geometries a step collides pairwise.
inline tamrix_geom_handle geometry(int index) {
  static char geometries[3];
  return reinterpret_cast<tamrix_geom_handle>(&geometries[index]);
}

}  // namespace bench_host
