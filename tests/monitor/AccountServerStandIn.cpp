#include "tests/monitor/AccountServerStandIn.h"

#include "common/SharedGlobals.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace tov::test {

namespace {

struct HostPort {
  std::string host;
  int port = 80;
};

// The host and port of an "http://host[:port]/..." URL.
HostPort ParseAccountServer() {
  std::string url = AccountServerURL;
  const std::string scheme = "http://";
  HostPort hp;
  if (url.rfind(scheme, 0) != 0) return hp;
  std::string authority = url.substr(scheme.size(), url.find('/', scheme.size()) - scheme.size());
  size_t colon = authority.find(':');
  hp.host = authority.substr(0, colon);
  if (colon != std::string::npos) hp.port = std::stoi(authority.substr(colon + 1));
  return hp;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& s, const std::string& sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + sep.size();
  }
}

AccountRequestSeen ParseHead(const std::string& head) {
  AccountRequestSeen r;
  std::vector<std::string> lines = Split(head, "\r\n");
  std::vector<std::string> request_line = Split(lines.empty() ? "" : lines[0], " ");
  if (request_line.size() == 3) {
    r.Method = request_line[0];
    r.Target = request_line[1];
    r.Version = request_line[2];
  }
  size_t q = r.Target.find('?');
  r.Path = r.Target.substr(0, q);
  if (q != std::string::npos) r.Query = r.Target.substr(q + 1);
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t colon = lines[i].find(':');
    if (colon == std::string::npos) continue;
    std::string value = lines[i].substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    r.Headers[lines[i].substr(0, colon)] = value;
  }
  return r;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> AccountRequestSeen::Pairs() const {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const std::string& part : Split(Query, "&")) {
    size_t eq = part.find('=');
    pairs.emplace_back(PercentDecode(part.substr(0, eq)),
                       eq == std::string::npos ? std::string() : PercentDecode(part.substr(eq + 1)));
  }
  return pairs;
}

bool StandInAccountServer::Playable() {
  HostPort hp = ParseAccountServer();
  return hp.host.rfind("127.", 0) == 0;
}

StandInAccountServer::StandInAccountServer(const std::vector<std::string>& replies, const std::string& then) {
  HostPort hp = ParseAccountServer();
  dir_ = PathJoin(GetCurrentDir(), "account-server");
  std::vector<std::string> args = {"--addr", hp.host, "--port", std::to_string(hp.port)};
  for (const std::string& reply : replies) {
    args.push_back("--reply");
    args.push_back(reply);
  }
  if (!then.empty()) {
    args.push_back("--then");
    args.push_back(then);
  }
  process_ = std::make_unique<StandInProcess>("account_server.py", dir_, args);
}

std::vector<AccountRequestSeen> StandInAccountServer::Requests() const {
  std::vector<AccountRequestSeen> out;
  for (const std::string& head : RecordedRequests(dir_)) out.push_back(ParseHead(head));
  return out;
}

}  // namespace tov::test
