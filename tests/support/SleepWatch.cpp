#include "tests/support/SleepWatch.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace tov::test {

namespace {

// The whole of a small /proc file; empty when it cannot be read.
std::string ReadProcFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buf[512];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int64_t Ms(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000; }

}  // namespace

SleepWatch::SleepWatch() : tid_(static_cast<pid_t>(::syscall(SYS_gettid))) {
  memory_ = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (memory_ < 0) throw std::runtime_error("SleepWatch: /proc/self/mem cannot be read");
  watcher_ = std::thread([this] { Watch(); });
}

SleepWatch::~SleepWatch() {
  stop_ = true;
  watcher_.join();
  ::close(memory_);
}

int64_t SleepWatch::AskedMs(const char* line) const {
  long nr = -1;
  unsigned long a[6] = {};
  if (std::sscanf(line, "%ld %lx %lx %lx %lx %lx %lx", &nr, &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) != 7) return -1;
  clockid_t clock = CLOCK_MONOTONIC;
  unsigned long flags = 0;
  unsigned long request = 0;
  if (nr == SYS_clock_nanosleep) {
    clock = static_cast<clockid_t>(a[0]);
    flags = a[1];
    request = a[2];
#ifdef SYS_nanosleep
  } else if (nr == SYS_nanosleep) {
    request = a[0];
#endif
  } else {
    return -1;
  }
  timespec asked{};
  if (::pread(memory_, &asked, sizeof asked, static_cast<off_t>(request)) != static_cast<ssize_t>(sizeof asked)) return -1;
  if ((flags & TIMER_ABSTIME) == 0) return Ms(asked);
  timespec now{};
  ::clock_gettime(clock, &now);
  return std::max<int64_t>(Ms(asked) - Ms(now), 0);
}

void SleepWatch::Watch() {
  const std::string path = "/proc/self/task/" + std::to_string(tid_) + "/syscall";
  while (!stop_) {
    const std::string line = ReadProcFile(path);
    const int64_t asked = AskedMs(line.c_str());
    // The time asked for counts only if the thread was still in that very
    // call (same arguments, stack and place) after it was read.
    if (asked > longest_ms_ && ReadProcFile(path) == line) longest_ms_ = asked;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace tov::test
