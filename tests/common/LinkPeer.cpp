#include "tests/common/LinkPeer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace tov::test {

LinkPeer::LinkPeer(const std::vector<std::string>& args) {
  ::signal(SIGPIPE, SIG_IGN);  // a program that has ended makes Send fail, not the test
  std::string program = BinDir() + "/link_peer";
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    throw std::runtime_error("cannot start " + program);
  }
  in_ = in[1];
  out_ = out[0];
  reader_ = std::thread([this] { ReadLoop(); });
}

LinkPeer::~LinkPeer() {
  if (in_ >= 0) ::close(in_);
  if (!reaped_ && Reap(kWaitMs) == -1) Kill();
  if (reader_.joinable()) reader_.join();
  ::close(out_);
}

void LinkPeer::ReadLoop() {
  std::string pending;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(pending.substr(0, nl));
      pending.erase(0, nl + 1);
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  eof_ = true;
  changed_.notify_all();
}

bool LinkPeer::Send(const std::string& line) {
  std::string text = line + "\n";
  return in_ >= 0 && ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::string LinkPeer::WaitLine(const std::string& prefix, size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::string found;
  auto seen = [&] {
    for (size_t i = from; i < lines_.size(); ++i) {
      if (lines_[i].compare(0, prefix.size(), prefix) == 0) {
        found = lines_[i];
        return true;
      }
    }
    return eof_;
  };
  changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), seen);
  return found;
}

std::string LinkPeer::Ask(const std::string& command, const std::string& reply) {
  size_t from = LineCount();
  Send(command);
  return WaitLine(reply, from);
}

bool LinkPeer::WaitCount(const std::string& line, int n) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto enough = [&] {
    int c = 0;
    for (const std::string& l : lines_) c += l == line ? 1 : 0;
    return c >= n;
  };
  return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return enough() || eof_; }) && enough();
}

int LinkPeer::Count(const std::string& line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int c = 0;
  for (const std::string& l : lines_) c += l == line ? 1 : 0;
  return c;
}

size_t LinkPeer::LineCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

std::vector<std::string> LinkPeer::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int LinkPeer::Reap(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0 || std::chrono::steady_clock::now() > deadline) return -1;
    ::usleep(2000);
  }
}

int LinkPeer::Quit() {
  Send("quit");
  return Reap(kWaitMs);
}

void LinkPeer::Kill() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  Reap(kWaitMs);
}

std::string SignalCommand(int32_t kind, const std::string& text) {
  return "signal " + std::to_string(kind) + (text.empty() ? "" : " " + text);
}

std::string SignalLine(int32_t kind, uint16_t flags, const std::string& text) {
  return SignalPrefix(kind) + std::to_string(flags) + " " + text;
}

std::string SignalPrefix(int32_t kind) { return "signal " + std::to_string(kind) + " "; }

}  // namespace tov::test
