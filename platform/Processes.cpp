#include "platform/Processes.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "platform/Files.h"
#include "platform/SysUtils.h"

extern char** environ;

namespace tov {

namespace {

// The state letter of a /proc stat file (a process's or a thread's); 0 when
// it cannot be read.
char StateInStatFile(const std::string& path) {
  const std::string stat = ReadSystemFile(path);
  // "pid (comm) S ...": the name may hold blanks and parentheses itself.
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  return stat[close + 2];
}

char ProcessState(int32_t pid) { return StateInStatFile("/proc/" + IntToStr(pid) + "/stat"); }

// Owns a spawn attribute set for the length of one call.
class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // The child starts with no blocked signals, and signals this process
  // ignores (a broken pipe, say) are back at their default there.
  bool Prepare() {
    if (!ok_) return false;
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGCHLD}) sigaddset(&defaults, sig);
    return ::posix_spawnattr_setsigmask(&attr_, &none) == 0 && ::posix_spawnattr_setsigdefault(&attr_, &defaults) == 0 &&
           ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  }
  const posix_spawnattr_t* Get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
  bool ok_ = false;
};

void ReapWhenEnded(pid_t pid, TChildEnded on_end) {
  try {
    std::thread([pid, on_end = std::move(on_end)] {
      int status = 0;
      pid_t reaped = -1;
      while ((reaped = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
      }
      if (reaped != pid || !on_end) return;
      try {
        on_end(static_cast<int32_t>(pid), status);
      } catch (...) {
        // Nobody is left to tell on this thread.
      }
    }).detach();
  } catch (...) {
    // No thread to be had: the child stays unreaped until this process ends,
    // and its end goes untold.
  }
}

// The real user id from /proc/<pid>/status; nothing when it cannot be read.
std::optional<uid_t> ProcessRealUid(int32_t pid) {
  const std::string status = ReadSystemFile("/proc/" + IntToStr(pid) + "/status");
  size_t at = status.find("\nUid:");
  if (at == std::string::npos) return std::nullopt;
  at += 6;
  while (at < status.size() && (status[at] == '\t' || status[at] == ' ')) ++at;
  uint64_t uid = 0;
  size_t digits = 0;
  for (; at < status.size() && status[at] >= '0' && status[at] <= '9' && digits < 12; ++at, ++digits) {
    uid = uid * 10 + static_cast<uint64_t>(status[at] - '0');
  }
  if (digits == 0) return std::nullopt;
  return static_cast<uid_t>(uid);
}

// The program file's path; a file replaced since the start (a new build, say)
// still counts under its name. Else the command name; empty for neither.
std::string ProcessEntryName(int32_t pid) {
  const std::string dir = "/proc/" + IntToStr(pid);
  std::string path(4096, '\0');
  ssize_t n = ::readlink((dir + "/exe").c_str(), path.data(), path.size());
  if (n > 0) {
    path.resize(static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
      path.resize(path.size() - deleted.size());
    }
    return path;
  }
  std::string comm = ReadSystemFile(dir + "/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

// Safeguard: own crawlers only. Only processes of this user are ever killed.
// A process that has ended and waits to be reaped is no longer running.
bool IsOursAndNamed(int32_t pid, const std::string& name) {
  std::optional<uid_t> uid = ProcessRealUid(pid);
  if (!uid || *uid != ::getuid()) return false;
  const char state = ProcessState(pid);
  return state != 0 && state != 'Z' && state != 'X' && ProcessNameMatches(ProcessEntryName(pid), name);
}

// Kills pid after checking it once more through a handle that pins the
// process, so an id that was freed and reused meanwhile is not hit. Kernels
// without process handles get the check and the kill by id.
bool KillIfStillOursAndNamed(int32_t pid, const std::string& name) {
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    bool killed = IsOursAndNamed(pid, name) && ::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) == 0;
    ::close(fd);
    return killed;
  }
  if (errno != ENOSYS) return false;
#endif
  return IsOursAndNamed(pid, name) && ::kill(pid, SIGKILL) == 0;
}

}  // namespace

bool ProcessNameMatches(const std::string& entry_name, const std::string& name) {
  const std::string_view whole(entry_name);
  return SameText(whole.substr(whole.rfind('/') + 1), name) || SameText(whole, name);
}

int KillProcessByName(const std::string& name, std::vector<int32_t>* killed_ids) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
  if (!proc) return 0;
  const int32_t self = CurrentProcessId();
  int killed = 0;
  while (dirent* entry = ::readdir(proc.get())) {
    int32_t pid = 0;
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || !TryStrToInt(entry->d_name, pid) || pid == self) continue;
    if (IsOursAndNamed(pid, name) && KillIfStillOursAndNamed(pid, name)) {
      ++killed;
      if (killed_ids != nullptr) killed_ids->push_back(pid);
    }
  }
  return killed;
}

int32_t CurrentProcessId() { return static_cast<int32_t>(::getpid()); }

bool ProcessExists(int32_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  char state = ProcessState(pid);
  return state != 'Z' && state != 'X';
}

bool ProcessThreadsLeft(int32_t pid) {
  if (pid <= 0) return false;
  const std::string tasks = "/proc/" + IntToStr(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return false;
  bool left = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const char state = StateInStatFile(tasks + "/" + entry->d_name + "/stat");
    if (state != 0 && state != 'Z' && state != 'X') {  // 0: the thread went meanwhile
      left = true;
      break;
    }
  }
  ::closedir(dir);
  return left;
}

std::string ProgramDir() {
  std::string path(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return GetCurrentDir();
  path.resize(static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string LocateProgram(const std::string& name, const std::string& dir) {
  // Safeguard: real start failure. A program beside that cannot be run (no
  // execute right, a folder, a link to nothing) is still the one started, so
  // the failure names it and its own fault instead of a search of PATH that
  // finds nothing.
  std::string beside = PathJoin(dir, name);
  struct stat st {};
  if (::lstat(beside.c_str(), &st) == 0) return beside;
  return name;
}

int32_t SpawnProgram(const std::string& path, TChildEnded on_end) {
  SpawnAttributes attributes;
  if (!attributes.Prepare()) {
    errno = ENOMEM;
    return -1;
  }
  std::string arg0 = path.substr(path.rfind('/') + 1);
  char* argv[] = {arg0.data(), nullptr};
  pid_t pid = -1;
  bool by_path = path.find('/') != std::string::npos;
  int err = by_path ? ::posix_spawn(&pid, path.c_str(), nullptr, attributes.Get(), argv, environ)
                    : ::posix_spawnp(&pid, path.c_str(), nullptr, attributes.Get(), argv, environ);
  if (err != 0) {
    errno = err;
    return -1;
  }
  ReapWhenEnded(pid, std::move(on_end));
  return static_cast<int32_t>(pid);
}

std::string WaitStatusText(int wait_status) {
  if (WIFEXITED(wait_status)) return "ended with exit code " + IntToStr(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) {
    const int sig = WTERMSIG(wait_status);
    const char* description = ::sigdescr_np(sig);
    std::string text = "was ended by signal " + IntToStr(sig);
    if (description != nullptr) text += std::string(" (") + description + ")";
    return text;
  }
  return "ended with wait status " + IntToStr(wait_status);
}

}  // namespace tov
