// Other code that stores a service table of its own into the plug-in's rows
// before a call, taking turns with two tables, so that a call that puts back
// what set-up gave it, or a wrapper of its own, leaves something other than
// what was stored last. rows-unchanged and the long life both watch this way.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "behaviour/behaviour.hpp"

namespace plugin_check {

class RowWatch {
 public:
  RowWatch(const Plugin &plugin, const std::array<Services, 2> &tables)
      : plugin_(plugin), tables_(tables) {}

  // Stores the next table, runs `call`, and keeps the first change any call
  // made, as `say(rows)` words it, `rows` being differing_rows()'s names.
  template <typename Call, typename Say>
  void around(Call &&call, Say &&say) {
    const Services &stored = tables_.at(turn_++ % tables_.size());
    plugin_.write_rows(stored);
    call();
    if (changed_.empty()) {
      if (std::string rows = differing_rows(plugin_.rows(), stored); !rows.empty()) {
        changed_ = say(rows);
      }
    }
  }

  // The first change, worded; empty while no call changed a row.
  [[nodiscard]] const std::string &changed() const { return changed_; }

 private:
  const Plugin &plugin_;
  std::array<Services, 2> tables_;
  std::size_t turn_ = 0;
  std::string changed_;
};

}  // namespace plugin_check
