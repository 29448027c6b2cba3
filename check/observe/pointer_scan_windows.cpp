// Windows: the scan is not made, and life-after-unload says SKIP there. A
// module's image is gone after FreeLibrary, but a DLL frees through its own
// C runtime, which plugin-check cannot wipe, and the system's loader keeps a
// trace of the modules it unloaded: each would need a rule of its own.
#include "observe/pointer_scan.hpp"

namespace plugin_check::pointers {

bool record_library_of(const void * /*address*/) { return false; }

std::vector<std::string> left_pointing(std::size_t /*most*/, std::size_t &total,
                                       bool /*heap_wiped*/) {
  total = 0;
  return {};
}

}  // namespace plugin_check::pointers
