#include "platform/NamedObjects.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Files.h"

namespace tov {

namespace {

[[noreturn]] void Fail(std::string_view what, std::string_view name, int code) {
  throw ENamedObjectError(std::string(what) + " " + std::string(name) + ": " + std::strerror(code), code);
}

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\0') return false;
  }
  return true;
}

int FlockRetry(int fd, int op) {
  int rc;
  do {
    rc = ::flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// The per-user directory, open and locked for the time of one opening.
class DirectoryGate {
 public:
  DirectoryGate() : dir_(NamedObjectDirectory()) {
    if (dir_.empty()) Refuse("", ENOENT);
    if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) Fail("cannot be made", errno);
    fd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) {
      if (errno == ELOOP || errno == ENOTDIR) Refuse("is not a folder", errno);
      Fail("cannot be opened", errno);
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) Fail("cannot be looked at", errno);
    // Safeguard: own link folder. Another user's folder, or one others may write into, could
    // hold their objects in place of ours or take ours away: refused.
    if (st.st_uid != ::geteuid()) Refuse("belongs to another user", EACCES);
    if ((st.st_mode & 022) != 0) Refuse("can be written by other users", EACCES);
    if ((st.st_mode & 077) != 0 && ::fchmod(fd_, 0700) != 0) Fail("cannot be closed to other users", errno);
    if (FlockRetry(fd_, LOCK_EX) != 0) Fail("cannot be locked", errno);
  }
  ~DirectoryGate() { ::close(fd_); }  // drops the lock
  DirectoryGate(const DirectoryGate&) = delete;
  DirectoryGate& operator=(const DirectoryGate&) = delete;
  int fd() const { return fd_; }

 private:
  // The message names the folder and the way to move it, since the user is
  // the one who can set this right. Refuse says what is wrong with the
  // folder; Fail adds the system's words for what went wrong.
  [[noreturn]] void Refuse(const std::string& what, int code) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    const std::string text = dir_.empty() ? "No link folder: neither XDG_RUNTIME_DIR nor a home folder is set"
                                          : "Link folder " + dir_ + " " + what;
    throw ENamedObjectDirectoryError(text + "; set TOV_IPC_DIR to a folder of your own to move it", code);
  }
  [[noreturn]] void Fail(const char* what, int code) {
    Refuse(what + std::string(" (") + std::strerror(code) + ")", code);
  }
  std::string dir_;
  int fd_ = -1;
};

long Futex(void* addr, int op, uint32_t val, const timespec* ts) {
  return ::syscall(SYS_futex, addr, op, val, ts, nullptr, FUTEX_BITSET_MATCH_ANY);
}

timespec MonotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec DeadlineAfter(uint32_t ms) {
  timespec ts = MonotonicNow();
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

bool Passed(const timespec& deadline) {
  timespec now = MonotonicNow();
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// An event's file: a futex word whose bit 0 is the signalled state and whose
// other bits count wake-ups, then the reset mode of its creator.
struct EventState {
  uint32_t word;
  uint32_t manual_reset;
};

void InitEvent(void* base, const void* arg) {
  auto* state = static_cast<EventState*>(base);
  state->word = 0;
  state->manual_reset = *static_cast<const bool*>(arg) ? 1 : 0;
}

void InitMutex(void* base, const void*) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(static_cast<pthread_mutex_t*>(base), &attr);
  pthread_mutexattr_destroy(&attr);
}

void InitNothing(void*, const void*) {}

#if defined(__SANITIZE_THREAD__)
// The timed wait for ThreadSanitizer's builds. Its runtime does not intercept
// pthread_mutex_clocklock, and its pthread_mutex_timedlock does not take over
// an abandoned mutex; a lock it does not see gives none of its ordering and
// makes the unlock look like misuse. It follows trylock fully, so these
// builds poll with that.
int PollLock(pthread_mutex_t* m, const timespec& deadline) {
  for (;;) {
    int rc = pthread_mutex_trylock(m);
    if (rc != EBUSY) return rc;
    if (Passed(deadline)) return ETIMEDOUT;
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
}
#endif

}  // namespace

std::string NamedObjectDirectory() {
  const char* moved = std::getenv("TOV_IPC_DIR");
  if (moved != nullptr && *moved != '\0') return moved;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/tovrane";
  // Safeguard: own link folder. Never a fixed name in a folder every user may write into (a
  // squatter there would stop both programs); only the user can make one in
  // the home.
  std::string home;
  const char* env_home = std::getenv("HOME");
  if (env_home != nullptr && env_home[0] == '/') {
    home = env_home;
  } else {
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return "";
  return PathJoin(home, ".tovrane-link");
}

NamedObject::NamedObject(std::string_view kind, std::string_view name, size_t size,
                         void (*init)(void* base, const void* arg), const void* arg)
    : name_(name), size_(size) {
  if (!ValidName(name) || size == 0) Fail("Invalid object name", name, EINVAL);
  std::string file = std::string(kind) + "." + std::string(name);
  DirectoryGate gate;
  fd_ = ::openat(gate.fd(), file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) Fail("Cannot open", name, errno);
  int err = 0;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    err = EACCES;
  } else if (FlockRetry(fd_, LOCK_EX | LOCK_NB) == 0) {
    // Safeguard: fresh named objects.
    // Alone: whatever the file holds is left from holders that are gone.
    fresh_ = true;
    if (::ftruncate(fd_, 0) != 0 || ::ftruncate(fd_, static_cast<off_t>(size)) != 0) err = errno;
  } else if (errno != EWOULDBLOCK) {
    err = errno;
  } else if (static_cast<uint64_t>(st.st_size) < size) {
    err = EINVAL;  // the holders made it smaller than this opener needs
  }
  // Under the directory lock nobody can take the exclusive lock between the
  // release and the shared lock, so this conversion is safe.
  if (err == 0 && FlockRetry(fd_, LOCK_SH) != 0) err = errno;
  if (err == 0) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
      err = errno;
    } else {
      base_ = p;
    }
  }
  if (err != 0) {
    ::close(fd_);
    fd_ = -1;
    Fail("Cannot open", name, err);
  }
  if (fresh_) init(base_, arg);
}

NamedObject::~NamedObject() {
  if (base_ != nullptr) ::munmap(base_, size_);
  if (fd_ >= 0) ::close(fd_);
}

NamedMapping::NamedMapping(std::string_view name, size_t size) : NamedObject("map", name, size, &InitNothing, nullptr) {}

NamedEvent::NamedEvent(std::string_view name, bool manual_reset)
    : NamedObject("event", name, sizeof(EventState), &InitEvent, &manual_reset) {}

namespace {
std::atomic_ref<uint32_t> Word(void* base) { return std::atomic_ref<uint32_t>(static_cast<EventState*>(base)->word); }
}  // namespace

bool NamedEvent::IsSet() const { return (Word(Base()).load() & 1) != 0; }

bool NamedEvent::ManualReset() const {
  return std::atomic_ref<uint32_t>(static_cast<EventState*>(Base())->manual_reset).load() != 0;
}

void NamedEvent::Set() {
  Word(Base()).fetch_or(1);
  Futex(Base(), FUTEX_WAKE, INT_MAX, nullptr);
}

void NamedEvent::Reset() { Word(Base()).fetch_and(~1u); }

void NamedEvent::WakeWaiters() {
  // Adding 2 changes the word without touching the signalled bit, so a waiter
  // about to sleep on the old value returns at once and looks again.
  Word(Base()).fetch_add(2);
  Futex(Base(), FUTEX_WAKE, INT_MAX, nullptr);
}

int NamedEvent::Wait(uint32_t timeout_ms, const std::atomic<bool>* cancel) {
  std::atomic_ref<uint32_t> word = Word(Base());
  const bool manual = ManualReset();
  const bool limited = timeout_ms != kInfinite;
  const timespec deadline = limited ? DeadlineAfter(timeout_ms) : timespec{};
  for (;;) {
    // The flag is read before the word: a canceller raises it before it
    // changes the word, so a waiter that sees the old word sleeps on it and
    // is woken by the change.
    bool cancelled = cancel != nullptr && cancel->load();
    uint32_t v = word.load();
    if ((v & 1) != 0) {
      if (manual) return kWaitObject0;
      if (word.compare_exchange_weak(v, v & ~1u)) return kWaitObject0;
      continue;
    }
    if (cancelled) return kWaitInterrupted;
    if (limited && Passed(deadline)) return kWaitTimeout;
    if (Futex(Base(), FUTEX_WAIT_BITSET, v, limited ? &deadline : nullptr) != 0 && errno != EAGAIN &&
        errno != EINTR && errno != ETIMEDOUT) {
      return kWaitFailed;
    }
  }
}

NamedMutex::NamedMutex(std::string_view name) : NamedObject("mutex", name, sizeof(pthread_mutex_t), &InitMutex, nullptr) {}

int NamedMutex::Wait(uint32_t timeout_ms) {
  auto* m = static_cast<pthread_mutex_t*>(Base());
  int rc;
  if (timeout_ms == kInfinite) {
    rc = pthread_mutex_lock(m);
  } else if (timeout_ms == 0) {
    rc = pthread_mutex_trylock(m);
    if (rc == EBUSY) rc = ETIMEDOUT;
  } else {
    timespec deadline = DeadlineAfter(timeout_ms);
#if defined(__SANITIZE_THREAD__)
    rc = PollLock(m, deadline);
#else
    rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &deadline);
#endif
  }
  switch (rc) {
    case 0:
      return kWaitObject0;
    case EOWNERDEAD:
      // Ours now; mark it usable again, or it would stay unusable for all.
      return pthread_mutex_consistent(m) == 0 ? kWaitAbandoned : kWaitFailed;
    case ETIMEDOUT:
      return kWaitTimeout;
    default:
      return kWaitFailed;
  }
}

bool NamedMutex::Release() { return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(Base())) == 0; }

uint64_t PerformanceCounter() {
  timespec ts = MonotonicNow();
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace tov
