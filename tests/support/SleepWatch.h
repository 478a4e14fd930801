// A watch on the sleeps of one thread, for tests that must show that a
// thread never holds still for long (the monitor's window thread, say).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace tov::test {

// Watches the thread that makes it, from a thread of its own, for sleeps
// (nanosleep and clock_nanosleep, which RealSleep, std::this_thread::sleep_for
// and usleep come down to) and keeps the longest time one asked for. Every
// millisecond it reads the system call /proc shows the thread blocked in and,
// for a sleep, the time asked for from the thread's memory. So a sleep is
// seen when the watch gets a processor once while it lasts, and what is kept
// is the time asked for, not the time that passed: a loaded machine changes
// neither.
class SleepWatch {
 public:
  SleepWatch();
  ~SleepWatch();
  SleepWatch(const SleepWatch&) = delete;
  SleepWatch& operator=(const SleepWatch&) = delete;

  // The longest sleep seen so far, in milliseconds; 0 when none was.
  int64_t LongestMs() const { return longest_ms_.load(); }

 private:
  void Watch();
  // The milliseconds that the sleep a /proc syscall line shows asks for; -1
  // when the line shows no sleep.
  int64_t AskedMs(const char* line) const;

  const pid_t tid_;
  int memory_ = -1;  // /proc/self/mem
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> longest_ms_{0};
  std::thread watcher_;
};

}  // namespace tov::test
