// The stand-in servers of tests/standins as child processes (each records into
// a directory of its own and writes "ready" there once it listens), and a bare
// loopback listener.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/ClientSocket.h"

namespace tov::test {

// Caps the TCP send buffers of the test's network namespace at max_bytes
// (tests/netns_run.sh makes it and says so in TOV_PRIVATE_NETNS), so that a
// sender's writes wait on a slow reader after that many bytes rather than
// after the megabytes that loopback's defaults take off its hands at once.
// Outside such a namespace it changes nothing and fails the test.
void LimitSendBuffers(int max_bytes);

// A listening socket on 127.0.0.1 with a port of its own, that answers
// nothing by itself.
class Listener {
 public:
  explicit Listener(int backlog = 16);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int Port() const { return port_; }
  // The next connection, waiting for it; -1 on failure.
  int Accept();
  // A connection that is already waiting, else -1 at once.
  int TryAccept();
  // Opens socket to this listener and returns the accepted peer.
  int Connect(TClientSocket& socket);

 private:
  int fd_ = -1;
  int port_ = 0;
};

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

// The request-<sequence>.bin records a stand-in has written in dir, oldest
// first.
std::vector<std::string> RecordedRequests(const std::string& dir);

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

// tests/standins/web_site.py (its header lists the routes) on the given
// addresses and port, and over TLS on tls_port when that is not 0.
class StandInWebSite {
 public:
  explicit StandInWebSite(std::vector<std::string> addresses = {"127.0.0.1"}, int port = 80, int tls_port = 0);
  ~StandInWebSite();

  bool Ready() const { return process_ && process_->Ready(); }
  int Port() const { return port_; }
  // "http://<address>:<port><path>"; the first address when none is given.
  std::string Url(const std::string& path, const std::string& address = "") const;

  // The site's fixed page bodies, as it sends them.
  static std::string PageHtml();
  static std::string FramesHtml();
  static std::string RobotsTxt();
  // The first n bytes of the site's long pages (/big.html has 6000000).
  static std::string BigPagePrefix(size_t n);
  static constexpr size_t kBigPageSize = 6000000;

 private:
  std::vector<std::string> addresses_;
  int port_;
  std::string dir_;
  std::unique_ptr<StandInProcess> process_;
};

}  // namespace tov::test
