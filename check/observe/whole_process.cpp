// Two readings of the whole process told apart line by line, the same on
// every platform that reads one.
#include "observe/whole_process.hpp"

namespace plugin_check {

std::vector<LineChange> line_changes(const WholeProcess &before, const WholeProcess &after) {
  std::vector<LineChange> changes;
  for (const WholeFile &now : after.files) {
    const WholeFile *was = nullptr;
    for (const WholeFile &file : before.files) {
      if (file.name == now.name) {
        was = &file;
        break;
      }
    }
    if (was == nullptr) {
      continue;
    }
    for (const auto &[key, line] : was->lines) {
      const auto is = now.lines.find(key);
      if (is == now.lines.end()) {
        changes.push_back({now.name, key, line, std::nullopt});
      } else if (is->second != line) {
        changes.push_back({now.name, key, line, is->second});
      }
    }
    for (const auto &[key, line] : now.lines) {
      if (!was->lines.contains(key)) {
        changes.push_back({now.name, key, std::nullopt, line});
      }
    }
  }
  return changes;
}

}  // namespace plugin_check
