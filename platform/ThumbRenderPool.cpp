#include "platform/ThumbRenderPool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/SysUtils.h"
#include "platform/ThumbRenderProtocol.h"

extern char** environ;

namespace tov {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kHelperName = "Tovthumb";
constexpr int kHelperFd = 3;  // the helper's end of the socket
// A helper that has not said Ready by then is taken for hung and killed. Its
// start is not bound by one picture's limit: a thread that gives up waiting
// leaves it starting for the next.
constexpr auto kStartLimit = std::chrono::seconds(30);

std::mutex g_limits_mutex;
ThumbRenderLimits g_limits;

struct Helper {
  pid_t pid = -1;
  int fd = -1;
  bool ready = false;
  int pages = 0;  // laid out so far
  Clock::time_point started;

  Helper() = default;
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  ~Helper() {
    if (fd >= 0) ::close(fd);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
};

enum class Io { Ok, TimedOut, Closed };

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 1 << 30));
}

Io WaitFd(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    int ms = MsLeft(deadline);
    if (ms == 0) return Io::TimedOut;
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Io::Closed;
    if (r > 0) return Io::Ok;
  }
}

Io WriteAll(int fd, std::string_view data, Clock::time_point deadline) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Io w = WaitFd(fd, POLLOUT, deadline);
      if (w != Io::Ok) return w;
      continue;
    }
    return Io::Closed;
  }
  return Io::Ok;
}

Io ReadAll(int fd, uint8_t* out, size_t n, Clock::time_point deadline) {
  while (n > 0) {
    ssize_t r = ::recv(fd, out, n, 0);
    if (r > 0) {
      out += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return Io::Closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Io w = WaitFd(fd, POLLIN, deadline);
      if (w != Io::Ok) return w;
      continue;
    }
    return Io::Closed;
  }
  return Io::Ok;
}

Io ReadReply(int fd, RenderReplyHeader& header, std::string& pixels, Clock::time_point deadline) {
  uint8_t raw[kRenderHeaderSize];
  Io io = ReadAll(fd, raw, sizeof raw, deadline);
  if (io != Io::Ok) return io;
  try {
    header = DecodeRenderReplyHeader(raw);
  } catch (const EStreamError&) {
    return Io::Closed;
  }
  pixels.assign(header.pixel_length, '\0');
  return ReadAll(fd, reinterpret_cast<uint8_t*>(pixels.data()), pixels.size(), deadline);
}

std::string OwnDirectory() {
  std::string path(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return ".";
  path.resize(static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Said once on standard error: without a helper no thumbnail is ever made.
void ReportStartFailure(const std::string& what) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr, "Thumbnail helper %s: %s\n", ThumbRenderHelperPath().c_str(), what.c_str());
}

std::unique_ptr<Helper> Spawn() {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return nullptr;
  int ours = sv[0];
  int theirs = sv[1];
  // dup2 onto the same number would keep close-on-exec set.
  if (theirs <= kHelperFd) {
    int moved = ::fcntl(theirs, F_DUPFD_CLOEXEC, kHelperFd + 1);
    ::close(theirs);
    theirs = moved;
  }
  auto helper = std::make_unique<Helper>();
  helper->fd = ours;
  if (theirs < 0) return nullptr;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, theirs, kHelperFd);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  static const std::string path = ThumbRenderHelperPath();
  std::string arg0 = path;
  char* argv[] = {arg0.data(), nullptr};
  pid_t pid = -1;
  int err = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(theirs);
  if (err != 0) {
    ReportStartFailure(std::string("cannot start it: ") + std::strerror(err));
    return nullptr;
  }
  helper->pid = pid;
  helper->started = Clock::now();
  ::fcntl(ours, F_SETFL, ::fcntl(ours, F_GETFL) | O_NONBLOCK);
  return helper;
}

// An idle helper that has spoken or hung up out of turn has died or gone astray.
bool StillUsable(const Helper& h) {
  if (!h.ready) return Clock::now() - h.started < kStartLimit;
  pollfd p{h.fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 0;
}

class Pool {
 public:
  ThumbRenderResult Render(std::string_view page, int width, int height, const ThumbRenderLimits& limits,
                           BitmapPixels& out) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limits.time_limit_ms);
    bool failed = false;
    std::unique_ptr<Helper> h = Acquire(deadline, MaxHelpers(limits), failed);
    if (!h) return failed ? ThumbRenderResult::Failed : ThumbRenderResult::TimedOut;

    RenderReplyHeader reply;
    std::string pixels;
    if (!h->ready) {
      Io io = ReadReply(h->fd, reply, pixels, deadline);
      if (io == Io::TimedOut && StillUsable(*h)) {
        Release(std::move(h));
        return ThumbRenderResult::TimedOut;
      }
      if (io != Io::Ok || reply.status != RenderStatus::Ready) {
        if (io == Io::Closed) ReportStartFailure("it ended before it was ready");
        return Retire(std::move(h), io);
      }
      h->ready = true;
    }

    RenderRequestHeader request;
    request.width = static_cast<uint32_t>(width);
    request.height = static_cast<uint32_t>(height);
    request.limit_seconds = static_cast<uint32_t>(limits.time_limit_ms / 1000 + 2);
    request.page_length = static_cast<uint32_t>(page.size());
    Io io = WriteAll(h->fd, EncodeRenderRequest(request, page), deadline);
    if (io == Io::Ok) io = ReadReply(h->fd, reply, pixels, deadline);
    if (io != Io::Ok || reply.status == RenderStatus::Ready) return Retire(std::move(h), io);

    ThumbRenderResult result = ThumbRenderResult::NoPicture;
    if (reply.status == RenderStatus::Picture) {
      out.width = static_cast<int>(reply.width);
      out.height = static_cast<int>(reply.height);
      out.rgb.assign(pixels.begin(), pixels.end());
      result = ThumbRenderResult::Picture;
    }
    if (++h->pages >= limits.pages_per_helper && limits.pages_per_helper > 0) {
      Retire(std::move(h), Io::Ok);  // a fresh one starts when next needed
    } else {
      Release(std::move(h));
    }
    return result;
  }

  std::vector<int> Pids() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pids_;
  }

  void EndIdle() {
    std::vector<std::unique_ptr<Helper>> ending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ending.swap(idle_);
      for (const std::unique_ptr<Helper>& h : ending) Forget(h->pid);
      freed_.notify_all();
    }
    ending.clear();  // kills and reaps them outside the lock
  }

 private:
  static int MaxHelpers(const ThumbRenderLimits& limits) {
    if (limits.max_helpers > 0) return limits.max_helpers;
    unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 8u));
  }

  std::unique_ptr<Helper> Acquire(Clock::time_point deadline, int max_helpers, bool& failed) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (!idle_.empty()) {
        std::unique_ptr<Helper> h = std::move(idle_.back());
        idle_.pop_back();
        if (StillUsable(*h)) return h;
        Forget(h->pid);
      }
      if (live_ < max_helpers) {
        ++live_;
        lock.unlock();
        std::unique_ptr<Helper> h = Spawn();
        lock.lock();
        if (h) {
          pids_.push_back(h->pid);
          return h;
        }
        --live_;
        freed_.notify_one();
        failed = true;
        return nullptr;
      }
      if (freed_.wait_until(lock, deadline) == std::cv_status::timeout && idle_.empty()) return nullptr;
    }
  }

  void Release(std::unique_ptr<Helper> h) {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(h));
    freed_.notify_one();
  }

  ThumbRenderResult Retire(std::unique_ptr<Helper> h, Io why) {
    pid_t pid = h->pid;
    h.reset();  // kills and reaps it
    std::lock_guard<std::mutex> lock(mutex_);
    Forget(pid);
    freed_.notify_one();
    return why == Io::TimedOut ? ThumbRenderResult::TimedOut : ThumbRenderResult::Failed;
  }

  // Under mutex_.
  void Forget(pid_t pid) {
    --live_;
    pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
  }

  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<Helper>> idle_;
  std::vector<int> pids_;
  int live_ = 0;
};

Pool& ThePool() {
  // Never freed: download threads may still render while the process ends, and
  // the helpers end by themselves when their socket closes with it.
  static Pool* pool = new Pool;
  return *pool;
}

}  // namespace

void SetThumbRenderLimits(const ThumbRenderLimits& limits) {
  std::lock_guard<std::mutex> lock(g_limits_mutex);
  g_limits = limits;
}

ThumbRenderLimits GetThumbRenderLimits() {
  std::lock_guard<std::mutex> lock(g_limits_mutex);
  return g_limits;
}

std::string ThumbRenderHelperPath() { return OwnDirectory() + "/" + kHelperName; }

std::vector<int> ThumbRenderHelperPids() { return ThePool().Pids(); }

void EndIdleThumbRenderHelpers() { ThePool().EndIdle(); }

ThumbRenderResult RenderThumbnail(std::string_view utf8_page, int width, int height, BitmapPixels& out) {
  if (width < 1 || height < 1 || width > static_cast<int>(kMaxRenderSide) ||
      height > static_cast<int>(kMaxRenderSide)) {
    return ThumbRenderResult::Failed;
  }
  ThumbRenderLimits limits = GetThumbRenderLimits();
  return ThePool().Render(utf8_page.substr(0, limits.max_page_bytes), width, height, limits, out);
}

}  // namespace tov
