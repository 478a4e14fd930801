#include "tests/support/StandIn.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace tov::test {

namespace {

std::string SourceRoot() {
  const char* root = std::getenv("TOV_SOURCE_ROOT");
  return root ? root : ".";
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

StandInProcess::StandInProcess(const std::string& script, const std::vector<std::string>& args,
                               const std::string& ready_file) {
  std::vector<std::string> all = {"python3", SourceRoot() + "/tests/standins/" + script};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "python3", nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    ADD_FAILURE() << "cannot start the stand-in " << script;
    return;
  }
  ready_ = WaitUntil([&] { return FileExists(ready_file); }, 20000);
  EXPECT_TRUE(ready_) << "stand-in " << script << " did not come up";
}

StandInProcess::~StandInProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

StandInWebSite::StandInWebSite(std::vector<std::string> addresses, int port, int tls_port)
    : addresses_(std::move(addresses)), port_(port) {
  std::string templ = (std::filesystem::temp_directory_path() / "tovweb-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  std::string ready = dir_ + "/ready";
  std::vector<std::string> args = {"--port", std::to_string(port_), "--ready", ready};
  if (tls_port != 0) {
    args.push_back("--tls-port");
    args.push_back(std::to_string(tls_port));
  }
  for (const auto& a : addresses_) {
    args.push_back("--addr");
    args.push_back(a);
  }
  process_ = std::make_unique<StandInProcess>("web_site.py", args, ready);
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
