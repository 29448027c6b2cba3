// Windows loads PE32+ DLLs: the PE reader reads this platform's plug-ins.
#include "binary_kind/binary_kind.hpp"
#include "inspect/pe_file.hpp"
#include "inspect/plugin_file.hpp"

namespace plugin_check {

PluginFile read_plugin_file(const std::string &path) {
  return read_dll_file(path, tamrix_host::loadable_kind());
}

}  // namespace plugin_check
