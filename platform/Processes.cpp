#include "platform/Processes.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/Files.h"
#include "platform/SysUtils.h"

extern char** environ;

namespace tov {

namespace {

// The state letter of /proc/<pid>/stat; 0 when it cannot be read.
char ProcessState(int32_t pid) {
  std::ifstream in("/proc/" + IntToStr(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  // "pid (comm) S ...": the name may hold blanks and parentheses itself.
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  return stat[close + 2];
}

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

void ReapWhenEnded(pid_t pid) {
  try {
    std::thread([pid] {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // No thread to be had: the child stays unreaped until this process ends.
  }
}

}  // namespace

int32_t CurrentProcessId() { return static_cast<int32_t>(::getpid()); }

bool ProcessExists(int32_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  char state = ProcessState(pid);
  return state != 'Z' && state != 'X';
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
  std::string beside = PathJoin(dir, name);
  struct stat st {};
  if (::stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(beside.c_str(), X_OK) == 0) return beside;
  return name;
}

int32_t SpawnProgram(const std::string& path) {
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
  ReapWhenEnded(pid);
  return static_cast<int32_t>(pid);
}

}  // namespace tov
