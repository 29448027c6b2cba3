// What a reach watch saw, for each platform's watch: a fixed table under a
// spin lock, so that noting a call never allocates on the plug-in's behalf
// (a wrapper runs where the heap is counted, and in the C library's own
// start-up).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>

#include "observe/reach.hpp"

namespace plugin_check {

class SeenTable {
 public:
  // Counts `name` as seen in `hook` (null: a thread of the plug-in's own);
  // past the table's room, nothing more is noted.
  void note(Reached::How how, const char *hook, const char *name) noexcept {
    const Lock lock(busy_);
    for (Slot &slot : slots_) {
      if (slot.used && slot.how == how && slot.hook == hook &&
          std::strncmp(slot.name.data(), name, slot.name.size() - 1) == 0) {
        ++slot.count;
        return;
      }
      if (!slot.used) {
        slot.used = true;
        slot.how = how;
        slot.hook = hook;
        std::strncpy(slot.name.data(), name, slot.name.size() - 1);
        slot.name.back() = '\0';
        slot.count = 1;
        return;
      }
    }
  }

  void clear() noexcept {
    const Lock lock(busy_);
    for (Slot &slot : slots_) {
      slot.used = false;
    }
  }

  [[nodiscard]] std::vector<Reached> seen() {
    std::vector<Reached> seen;
    const Lock lock(busy_);
    for (const Slot &slot : slots_) {
      if (slot.used) {
        // No hook: a thread of the plug-in's own, which the report says so.
        seen.push_back(
            {slot.how, slot.name.data(), slot.hook != nullptr ? slot.hook : "", slot.count});
      }
    }
    return seen;
  }

 private:
  struct Slot {
    Reached::How how;
    const char *hook;
    std::array<char, 160> name;
    long count;
    bool used;
  };

  class Lock {
   public:
    explicit Lock(std::atomic_flag &flag) noexcept : flag_(flag) {
      while (flag_.test_and_set(std::memory_order_acquire)) {
      }
    }
    ~Lock() { flag_.clear(std::memory_order_release); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    Lock(Lock &&) = delete;
    Lock &operator=(Lock &&) = delete;

   private:
    std::atomic_flag &flag_;
  };

  static constexpr std::size_t slot_count = 256;
  std::array<Slot, slot_count> slots_{};
  std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
};

}  // namespace plugin_check
