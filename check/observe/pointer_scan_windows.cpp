// Windows: the scan is not made. A module's image is gone after FreeLibrary,
// but telling a freed heap block from a live one there needs the heap's own
// walk, which this build does not make yet.
#include "observe/pointer_scan.hpp"

namespace plugin_check::pointers {

bool scan_available(std::string &why_not) {
  why_not = "the scan for pointers left into an unloaded plug-in reads /proc, on Linux only";
  return false;
}

bool record_library_of(const void * /*address*/) { return false; }

std::vector<std::string> left_pointing(std::size_t /*most*/, std::size_t &total,
                                       bool /*heap_wiped*/) {
  total = 0;
  return {};
}

}  // namespace plugin_check::pointers
