// Starts the link test program (build/bin/link_peer) and talks to it by
// lines: commands go to its standard input, what it prints is collected in
// order by a reader thread.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tov::test {

class LinkPeer {
 public:
  static constexpr int kWaitMs = 10000;

  explicit LinkPeer(const std::vector<std::string>& args);
  // Closes its input (which ends it as "quit" does) and reaps it; kills it
  // when it is still running after kWaitMs.
  ~LinkPeer();
  LinkPeer(const LinkPeer&) = delete;
  LinkPeer& operator=(const LinkPeer&) = delete;

  pid_t Pid() const { return pid_; }
  // False when the program no longer reads its input.
  bool Send(const std::string& line);
  // The first line starting with prefix among the lines from index `from`
  // on; empty after kWaitMs without one (or when the program has ended).
  std::string WaitLine(const std::string& prefix, size_t from = 0);
  // Sends a command and waits for the first reply starting with reply.
  std::string Ask(const std::string& command, const std::string& reply);
  // Waits until n lines equal line; false after kWaitMs.
  bool WaitCount(const std::string& line, int n);
  int Count(const std::string& line) const;
  size_t LineCount() const;
  std::vector<std::string> Lines() const;
  // Sends "quit" and returns the exit status (-1 when it did not end).
  int Quit();
  // SIGKILL, then reaps it.
  void Kill();

 private:
  void ReadLoop();
  int Reap(int timeout_ms);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool eof_ = false;
};

// The program's lines for records, by kind: the command that sends one
// ("signal <kind>[ <text>]"), the line it prints for one received
// ("signal <kind> <flags> <text>"), and the start of every such line.
std::string SignalCommand(int32_t kind, const std::string& text = "");
std::string SignalLine(int32_t kind, uint16_t flags = 0, const std::string& text = "");
std::string SignalPrefix(int32_t kind);

}  // namespace tov::test
