// A function of the monitor that a test may put its own in place of (the
// crawler's start and kill, the idle time, the interface table). Empty means
// the real one. Set and read from any thread.
#pragma once

#include <mutex>
#include <utility>

namespace tov {

template <class Fn>
class TTestHook {
 public:
  void Set(Fn fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn_ = std::move(fn);
  }
  Fn Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fn_;
  }

 private:
  mutable std::mutex mutex_;
  Fn fn_;
};

}  // namespace tov
