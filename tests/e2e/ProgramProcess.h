// The real programs as child processes for the end-to-end tests: the crawler
// started in a work directory with its output going to files there, and a
// private X display for the cases that look at the crawler's window.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/Config.h"

namespace tov::test {

// scripts/prepare-workdir.sh on dir; false when it failed.
bool PrepareWorkDir(const std::string& dir);
ConfigData ReadConfigFile(const std::string& path);
void WriteConfigFile(const std::string& path, const ConfigData& config);

// build/bin/<program> (TOV_BIN_DIR) started in `dir` with the test's
// environment and args, headless (no DISPLAY, WAYLAND_DISPLAY or
// QT_QPA_PLATFORM) unless a display is given. Killed and reaped when the
// object goes.
class ProgramProcess {
 public:
  ProgramProcess(const std::string& program, const std::string& dir, const std::string& display = "",
                 const std::vector<std::string>& args = {});
  ~ProgramProcess();
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool Running();
  // The exit code once it has ended; -1 when it is still running after
  // timeout_ms, 128 + the signal when a signal ended it.
  int WaitExit(int timeout_ms = 30000);
  void Signal(int sig);
  std::string Stderr() const;

 private:
  bool Reap(int options);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string stderr_path_;
};

// Xvfb on a free display, for as long as the object lives; Display() is
// empty when it could not be started.
class PrivateDisplay {
 public:
  PrivateDisplay(int width, int height);
  ~PrivateDisplay();
  PrivateDisplay(const PrivateDisplay&) = delete;
  PrivateDisplay& operator=(const PrivateDisplay&) = delete;

  const std::string& Display() const { return display_; }
  // What xwininfo prints about the window of that name; empty when there is none.
  std::string WindowInfo(const std::string& name) const;

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Whether ErrorLog.txt in dir holds the message.
bool HasLogLine(const std::string& line, const std::string& dir = ".");
// Waits until ErrorLog.txt holds the line.
bool WaitForLogLine(const std::string& line, const std::string& dir = ".", int timeout_ms = 20000);

}  // namespace tov::test
