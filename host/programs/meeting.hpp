// Threads that wait for one another, once (where std::latch would serve) or
// again and again (std::barrier). On a mutex and a condition variable, since
// MinGW's C++ library waits on atomics without a futex, and there a wake-up
// can be lost: every thread then waits for good, as a threads check under
// wine did.
#pragma once
#include <condition_variable>
#include <mutex>
namespace tamrix_host {
class Meeting {
 public:
  explicit Meeting(int count) : count_(count), missing_(count) {}
  void arrive_and_wait() {
    std::unique_lock lock(mutex_);
    const unsigned long round = round_;
    if (--missing_ == 0) {
      ++round_;
      missing_ = count_;
      lock.unlock();
      all_here_.notify_all();
      return;
    }
    all_here_.wait(lock, [this, round] { return round_ != round; });
  }

 private:
  const int count_;
  int missing_;
  unsigned long round_ = 0;
  std::mutex mutex_;
  std::condition_variable all_here_;
};
}  // namespace tamrix_host
