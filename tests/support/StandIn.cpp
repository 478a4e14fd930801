#include "tests/support/StandIn.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace tov::test {

void LimitSendBuffers(int max_bytes) {
  // The machine's own setting is never touched.
  ASSERT_NE(std::getenv("TOV_PRIVATE_NETNS"), nullptr) << "run inside tests/netns_run.sh";
  WriteFileBytes("/proc/sys/net/ipv4/tcp_wmem", "4096 16384 " + std::to_string(max_bytes));
}

namespace {

std::vector<std::filesystem::path> RequestFiles(const std::string& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("request-", 0) == 0 && e.path().extension() == ".bin") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Repeated(const std::string& unit, size_t n) {
  std::string out;
  out.reserve(n + unit.size());
  while (out.size() < n) out += unit;
  out.resize(n);
  return out;
}

}  // namespace

Listener::Listener(int backlog) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(::listen(fd_, backlog), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

Listener::~Listener() { ::close(fd_); }

int Listener::Accept() { return ::accept(fd_, nullptr, nullptr); }

int Listener::TryAccept() {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) != 1) return -1;
  return Accept();
}

int Listener::Connect(TClientSocket& socket) {
  socket.SetHost("127.0.0.1");
  socket.SetPort(port_);
  socket.Open();
  return Accept();
}

StandInProcess::StandInProcess(const std::string& script, const std::string& dir, const std::vector<std::string>& args)
    : dir_(dir) {
  std::filesystem::create_directories(dir_);
  std::vector<std::string> all = {"python3", SourceRoot() + "/tests/standins/" + script, "--dir", dir_};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "python3", nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    ADD_FAILURE() << "cannot start the stand-in " << script;
    return;
  }
  ready_ = WaitUntil([&] { return FileExists(PathJoin(dir_, "ready")); }, 20000);
  EXPECT_TRUE(ready_) << "stand-in " << script << " did not come up";
}

StandInProcess::~StandInProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  // A stand-in that does not stop within 5 s is killed, so no test hangs on it.
  bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5000);
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
}

StandInUrlServer::StandInUrlServer(const std::string& dir, const std::string& script,
                                   const std::vector<std::string>& args)
    : process_("url_server.py", dir, Arguments(dir, script, args)) {}

std::vector<std::string> StandInUrlServer::Arguments(const std::string& dir, const std::string& script,
                                                     const std::vector<std::string>& args) {
  std::vector<std::string> out;
  if (!script.empty()) {
    std::filesystem::create_directories(dir);
    const std::string path = PathJoin(dir, "script.json");
    WriteFileBytes(path, script);
    out = {"--script", path};
  }
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

std::vector<std::string> RecordedRequests(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& f : RequestFiles(dir)) out.push_back(ReadFileBytes(f.string()));
  return out;
}

std::vector<std::string> StandInUrlServer::Requests() const { return RecordedRequests(process_.Dir()); }

size_t StandInUrlServer::CountRequests() const { return RequestFiles(process_.Dir()).size(); }

StandInWebSite::StandInWebSite(std::vector<std::string> addresses, int port, int tls_port)
    : addresses_(std::move(addresses)), port_(port) {
  std::string templ = (std::filesystem::temp_directory_path() / "tovweb-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  std::vector<std::string> args = {"--port", std::to_string(port_)};
  if (tls_port != 0) {
    args.push_back("--tls-port");
    args.push_back(std::to_string(tls_port));
  }
  for (const auto& a : addresses_) {
    args.push_back("--addr");
    args.push_back(a);
  }
  process_ = std::make_unique<StandInProcess>("web_site.py", dir_, args);
}

StandInWebSite::~StandInWebSite() {
  process_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string StandInWebSite::Url(const std::string& path, const std::string& address) const {
  std::string host = !address.empty() ? address : addresses_.empty() ? "127.0.0.1" : addresses_.front();
  return "http://" + host + ":" + std::to_string(port_) + path;
}

std::string StandInWebSite::PageHtml() {
  return "<html><head><title>Plain page</title>\r\n"
         "<script type=\"text/javascript\">document.write('x');</script></head>\r\n"
         "<body><h1>A page without frames</h1>\r\n"
         "<p>Some text to render.</p>\r\n"
         "<object data=\"movie.swf\"></object>\r\n"
         "<iframe src=\"http://ads.example/\"></iframe>\r\n"
         "</body></html>\r\n";
}

std::string StandInWebSite::FramesHtml() {
  return "<html><head><title>Frames</title></head>\r\n"
         "<FRAMESET cols=\"20%,80%\"><FRAME src=\"menu.html\"><FRAME src=\"page.html\"></FRAMESET>\r\n"
         "</html>\r\n";
}

std::string StandInWebSite::RobotsTxt() { return "User-agent: *\r\nDisallow: /private/\r\n"; }

std::string StandInWebSite::BigPagePrefix(size_t n) {
  return Repeated("<p>0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ</p>\r\n", n);
}

}  // namespace tov::test
