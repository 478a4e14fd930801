#include "platform/IdleTime.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace tov {

namespace {

uint64_t Milliseconds(const timespec& t) {
  if (t.tv_sec < 0) return 0;
  return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

bool DeviceName(const std::string& name, const std::string& prefix) {
  return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 && name.back() >= '0' &&
         name.back() <= '9';
}

}  // namespace

const std::vector<TInputDevices>& DefaultInputDevices() {
  static const std::vector<TInputDevices> devices{{"/dev/input", "event"}, {"/dev", "tty"}, {"/dev/pts", ""}};
  return devices;
}

std::optional<uint64_t> InputDeviceIdleMs(const std::vector<TInputDevices>& devices) {
  std::optional<uint64_t> newest;
  for (const TInputDevices& d : devices) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(d.Dir.c_str()), &::closedir);
    if (!dir) continue;
    const int fd = ::dirfd(dir.get());
    while (dirent* entry = ::readdir(dir.get())) {
      if (!DeviceName(entry->d_name, d.Prefix)) continue;
      struct stat st {};
      if (::fstatat(fd, entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode)) continue;
      if (::faccessat(fd, entry->d_name, R_OK, 0) != 0) continue;
      uint64_t at = Milliseconds(st.st_atim);
      if (!newest || at > *newest) newest = at;
    }
  }
  if (!newest) return std::nullopt;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  uint64_t now_ms = Milliseconds(now);
  return now_ms > *newest ? now_ms - *newest : 0;
}

uint64_t UptimeMs() {
  timespec t{};
  if (::clock_gettime(CLOCK_BOOTTIME, &t) != 0) ::clock_gettime(CLOCK_MONOTONIC, &t);
  return Milliseconds(t);
}

uint64_t LocalIdleMs() {
  if (std::optional<uint64_t> ms = InputDeviceIdleMs()) return *ms;
  return UptimeMs();
}

struct TBoundedCall::State {
  explicit State(Query q) : query(std::move(q)) {}

  std::mutex mutex;
  std::condition_variable cv;
  Query query;
  bool started = false;
  bool stop = false;
  bool exited = false;
  uint64_t asked = 0;
  uint64_t answered = 0;
  std::optional<uint64_t> answer;

  static void Work(const std::shared_ptr<State>& s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
      s->cv.wait(lock, [&] { return s->stop || s->asked != s->answered; });
      if (s->asked == s->answered) break;
      const uint64_t n = s->asked;
      lock.unlock();
      std::optional<uint64_t> result;
      try {
        result = s->query();
      } catch (...) {
        result.reset();
      }
      lock.lock();
      s->answer = result;
      s->answered = n;
      s->cv.notify_all();
    }
    // What the query holds was made on this thread and is let go here.
    Query query = std::move(s->query);
    s->query = nullptr;
    s->exited = true;
    s->cv.notify_all();
    lock.unlock();
  }
};

TBoundedCall::TBoundedCall(Query query) : state_(std::make_shared<State>(std::move(query))) {}

TBoundedCall::~TBoundedCall() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->stop = true;
  state_->cv.notify_all();
  if (state_->started) state_->cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return state_->exited; });
}

std::optional<uint64_t> TBoundedCall::Call(uint32_t timeout_ms) {
  std::shared_ptr<State> s = state_;
  std::unique_lock<std::mutex> lock(s->mutex);
  if (s->asked != s->answered) return std::nullopt;
  if (!s->started) {
    try {
      std::thread([s] { State::Work(s); }).detach();
    } catch (const std::system_error&) {
      return std::nullopt;
    }
    s->started = true;
  }
  const uint64_t n = ++s->asked;
  s->cv.notify_all();
  if (!s->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return s->answered == n; })) {
    return std::nullopt;
  }
  return s->answer;
}

}  // namespace tov
