// tests/standins/account_server.py where AccountServerURL points, and what it
// recorded.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/StandIn.h"

namespace tov::test {

// One request as the server received it.
struct AccountRequestSeen {
  std::string Method;
  std::string Target;   // path and query as sent
  std::string Path;
  std::string Query;    // after "?", as sent
  std::string Version;  // "HTTP/1.1"
  std::map<std::string, std::string> Headers;
  // The query's pairs, split at "&" and the first "=", then percent-decoded.
  std::vector<std::pair<std::string, std::string>> Pairs() const;
};

class StandInAccountServer {
 public:
  // replies: the JSON steps for the first requests (see the script); then:
  // the step for every later one, empty for the script's default.
  explicit StandInAccountServer(const std::vector<std::string>& replies = {}, const std::string& then = "");

  bool Ready() const { return process_ && process_->Ready(); }
  std::vector<AccountRequestSeen> Requests() const;

  // Whether AccountServerURL names a loopback host that the stand-in can play
  // (tests skip otherwise).
  static bool Playable();

 private:
  std::string dir_;
  std::unique_ptr<StandInProcess> process_;
};

}  // namespace tov::test
