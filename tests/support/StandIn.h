// The stand-in servers of tests/standins as child processes: each records into
// a directory of its own and writes "ready" there once it listens.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tov::test {

// python3 tests/standins/<script> --dir <dir> <args...>, started at
// construction and waited for until it is ready; ended with SIGTERM (and
// waited for) when the object goes.
class StandInProcess {
 public:
  StandInProcess(const std::string& script, const std::string& dir, const std::vector<std::string>& args);
  ~StandInProcess();
  StandInProcess(const StandInProcess&) = delete;
  StandInProcess& operator=(const StandInProcess&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Dir() const { return dir_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// tests/standins/url_server.py: records each request frame and answers with
// scripted replies (see the script's description for the steps).
class StandInUrlServer {
 public:
  // script: the JSON text of a script ({"replies": [...], "then": {...}}),
  // empty for none; args: further options (--pages, --batch, ...).
  StandInUrlServer(const std::string& dir, const std::string& script, const std::vector<std::string>& args = {});

  bool Ready() const { return process_.Ready(); }
  // The request frames received so far, in order of arrival.
  std::vector<std::string> Requests() const;
  size_t CountRequests() const;

 private:
  static std::vector<std::string> Arguments(const std::string& dir, const std::string& script,
                                            const std::vector<std::string>& args);
  StandInProcess process_;
};

}  // namespace tov::test
