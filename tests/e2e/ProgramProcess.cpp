#include "tests/e2e/ProgramProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace tov::test {

namespace {

int g_started = 0;

std::vector<std::string> ChildEnvironment(const std::string& display) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
        entry.rfind("QT_QPA_PLATFORM=", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  if (!display.empty()) env.push_back("DISPLAY=" + display);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

bool PrepareWorkDir(const std::string& dir) {
  const std::string command = SourceRoot() + "/scripts/prepare-workdir.sh '" + dir + "' >/dev/null";
  return std::system(command.c_str()) == 0;
}

ConfigData ReadConfigFile(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  return DecodeConfig(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

void WriteConfigFile(const std::string& path, const ConfigData& config) {
  auto bytes = EncodeConfig(config);
  WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
}

ProgramProcess::ProgramProcess(const std::string& program, const std::string& dir, const std::string& display,
                               const std::vector<std::string>& extra_args) {
  std::string path = BinDir() + "/" + program;
  const std::string base = dir + "/" + program + "-" + std::to_string(++g_started);
  stderr_path_ = base + ".stderr";
  const std::string stdout_path = base + ".stdout";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  std::vector<std::string> args{path};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<std::string> env = ChildEnvironment(display);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  int rc = ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
}

ProgramProcess::~ProgramProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    Reap(0);
  }
}

bool ProgramProcess::Reap(int options) {
  if (reaped_) return true;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, options);
  if (r != pid_) return false;
  reaped_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ProgramProcess::Running() { return !Reap(WNOHANG); }

int ProgramProcess::WaitExit(int timeout_ms) {
  if (!WaitUntil([&] { return Reap(WNOHANG); }, timeout_ms)) return -1;
  return status_;
}

void ProgramProcess::Signal(int sig) {
  if (!reaped_) ::kill(pid_, sig);
}

std::string ProgramProcess::Stderr() const { return ReadFileBytes(stderr_path_); }

PrivateDisplay::PrivateDisplay(int width, int height) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
                                std::to_string(width) + "x" + std::to_string(height) + "x24"};
  std::vector<char*> argv = Pointers(args);
  int rc = ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(fds[0]);
    return;
  }
  // Xvfb writes the display number once it accepts connections.
  std::string number;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

PrivateDisplay::~PrivateDisplay() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::string PrivateDisplay::WindowInfo(const std::string& name) const {
  std::string command = "DISPLAY=" + display_ + " xwininfo -name '" + name + "' 2>/dev/null";
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (::pclose(p) != 0) out.clear();
  }
  return out;
}

bool HasLogLine(const std::string& line, const std::string& dir) {
  const std::vector<std::string> lines = ErrorLogMessages(dir + "/ErrorLog.txt");
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool WaitForLogLine(const std::string& line, const std::string& dir, int timeout_ms) {
  return WaitUntil([&] { return HasLogLine(line, dir); }, timeout_ms);
}

}  // namespace tov::test
