// The desktop's idle-time sources against real peers: Xvfb for the X11
// screen-saver extension, a private dbus-daemon with a fake idle monitor for
// the D-Bus sources, and listeners that accept and never answer. Runs in a
// private network namespace, so the X display on TCP is this test's own.
#include "platform/DesktopIdle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "tests/e2e/ProgramProcess.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace tov {
namespace {

// A child process whose first line of output is read.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    char c;
    while (pid_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') line_ += c;
    ::close(fds[0]);
  }
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  const std::string& Line() const { return line_; }

 private:
  pid_t pid_ = -1;
  std::string line_;
};

// A listening socket that accepts connections (through its backlog) and
// never says a word.
class SilentListener {
 public:
  static std::unique_ptr<SilentListener> Tcp(int port) {
    auto l = std::unique_ptr<SilentListener>(new SilentListener(::socket(AF_INET, SOCK_STREAM, 0)));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    ::setsockopt(l->fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(l->fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(l->fd_, 16) != 0) return nullptr;
    return l;
  }
  static std::unique_ptr<SilentListener> Unix(const std::string& path) {
    auto l = std::unique_ptr<SilentListener>(new SilentListener(::socket(AF_UNIX, SOCK_STREAM, 0)));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return nullptr;
    path.copy(addr.sun_path, path.size());
    if (::bind(l->fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(l->fd_, 16) != 0) return nullptr;
    return l;
  }
  ~SilentListener() { ::close(fd_); }

 private:
  explicit SilentListener(int fd) : fd_(fd) {}
  int fd_;
};

// The first call of a case connects as well as asks, which a loaded machine
// can take longer than the shipped wait for; how long a source that never
// answers holds up its caller is shown by the cases that say so.
constexpr uint32_t kFirstAnswerWaitMs = 10000;

class DesktopIdleTest : public ::testing::Test {
 protected:
  DesktopIdleTest() {
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"}) {
      ::unsetenv(var);
    }
    app_ = std::make_unique<QCoreApplication>(argc_, argv_);
  }
  // The sources are the process's; the next case gets fresh ones, while this
  // case's application is still there for the bus worker to let go of its
  // connection.
  ~DesktopIdleTest() override { ResetDesktopIdleSources(); }

  // A session bus of this test's own; its address, empty when it cannot run.
  std::string StartBus() {
    const std::string config = PathJoin(work_.Path(), "bus.conf");
    test::WriteFileBytes(config,
                         "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                         "<busconfig><type>session</type><listen>unix:path=" +
                             PathJoin(work_.Path(), "bus") +
                             "</listen><auth>EXTERNAL</auth>"
                             "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                             "</busconfig>\n");
    bus_ = std::make_unique<Child>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"});
    return bus_->Line();
  }
  // A session bus that accepts connections and never answers, made the
  // session's bus; nullptr when it cannot listen.
  std::unique_ptr<SilentListener> SilentBus() {
    const std::string path = PathJoin(work_.Path(), "silent-bus");
    auto listener = SilentListener::Unix(path);
    if (listener != nullptr) ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
    return listener;
  }
  // The fake idle monitor on the bus; false when it did not come up.
  bool StartMonitor(const std::string& address, std::vector<std::string> mode) {
    std::vector<std::string> args{test::BinDir() + "/fake_idle_monitor", address};
    args.insert(args.end(), mode.begin(), mode.end());
    monitor_ = std::make_unique<Child>(args);
    return monitor_->Line() == "ready";
  }

  test::ScopedWorkDir work_;
  int argc_ = 1;
  char name_[32] = "platform_idle_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QCoreApplication> app_;
  std::unique_ptr<Child> bus_;
  std::unique_ptr<Child> monitor_;
};

TEST_F(DesktopIdleTest, XScreenSaverExtensionTellsTheIdleTimeAndADisplayThatGoesAwayEndsNothing) {
  auto display = std::make_unique<test::PrivateDisplay>(320, 240);
  ASSERT_FALSE(display->Display().empty()) << "Xvfb could not be started";
  ::setenv("DISPLAY", display->Display().c_str(), 1);
  std::optional<uint64_t> first = X11IdleMs(kFirstAnswerWaitMs);
  ASSERT_TRUE(first.has_value());
  // Nobody touches a virtual display: its idle time grows.
  EXPECT_TRUE(test::WaitUntil([&] {
    std::optional<uint64_t> now = X11IdleMs();
    return now && *now >= *first + 300;
  }));
  EXPECT_GE(DesktopIdleMs(), *first);

  display.reset();  // the server ends under the open connection
  EXPECT_EQ(X11IdleMs(), std::nullopt);
  EXPECT_EQ(X11IdleMs(), std::nullopt);
  DesktopIdleMs();  // falls back to the devices or the uptime
}

TEST_F(DesktopIdleTest, ADisplayThatNeverAnswersIsGivenUpOn) {
  auto listener = SilentListener::Tcp(6007);
  ASSERT_NE(listener, nullptr);
  ::setenv("DISPLAY", "127.0.0.1:7", 1);
  EXPECT_EQ(X11IdleMs(100), std::nullopt);
  EXPECT_EQ(X11IdleMs(100), std::nullopt);  // still stuck: answered at once
  DesktopIdleMs();
}

// A display that lets go of a stuck connection while the process ends: the
// worker leaves Xlib while the exit tears Xlib down, which must not crash it.
// Each round is a fresh process of its own (no fork of a process whose
// threads may hold Xlib's locks).
TEST_F(DesktopIdleTest, AProcessEndsCleanlyWhileItsDisplayLetsGo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int round = 0; round < 40; ++round) {
    EXPECT_EXIT(
        {
          auto listener = SilentListener::Tcp(6008);
          if (listener == nullptr) std::exit(3);
          ::setenv("DISPLAY", "127.0.0.1:8", 1);
          X11IdleMs(20);     // the worker now waits inside Xlib
          listener.reset();  // and is woken as the process ends
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "")
        << "round " << round;
  }
}

TEST_F(DesktopIdleTest, WithoutDisplayOrBusOnlyTheLocalSourcesAnswer) {
  EXPECT_EQ(X11IdleMs(), std::nullopt);
  EXPECT_EQ(DBusIdleMs(), std::nullopt);
  ::setenv("XDG_RUNTIME_DIR", work_.Path().c_str(), 1);  // no bus socket there
  EXPECT_EQ(DBusIdleMs(), std::nullopt);
}

struct BusCase {
  const char* name;
  std::vector<std::string> mode;
  std::optional<uint64_t> expected;
};

void PrintTo(const BusCase& c, std::ostream* os) { *os << c.name; }

class DesktopIdleBusTest : public DesktopIdleTest, public ::testing::WithParamInterface<BusCase> {};

TEST_P(DesktopIdleBusTest, AsksTheIdleMonitorsOnTheSessionBus) {
  const BusCase& c = GetParam();
  const std::string address = StartBus();
  ASSERT_FALSE(address.empty()) << "dbus-daemon could not be started";
  if (!c.mode.empty()) {
    ASSERT_TRUE(StartMonitor(address, c.mode));
  }
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  EXPECT_EQ(DBusIdleMs(kFirstAnswerWaitMs), c.expected);
  if (!c.expected) return;
  // On Wayland the bus is asked first, before a display that also exists.
  ::setenv("WAYLAND_DISPLAY", "wayland-test", 1);
  ::setenv("DISPLAY", "127.0.0.1:9", 1);  // nothing listens there
  EXPECT_EQ(DesktopIdleMs(), *c.expected);
}

INSTANTIATE_TEST_SUITE_P(Monitors, DesktopIdleBusTest,
                         ::testing::Values(BusCase{"Mutter", {"mutter", "12345"}, 12345},
                                           BusCase{"KdeScreenSaver", {"kde", "4321"}, 4321},
                                           BusCase{"NamesTakenButNoAnswer", {"silent"}, std::nullopt},
                                           BusCase{"NoIdleMonitor", {}, std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesktopIdleTest, ABusThatNeverAnswersIsGivenUpOn) {
  auto listener = SilentBus();
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(DBusIdleMs(100), std::nullopt);
  EXPECT_EQ(DBusIdleMs(100), std::nullopt);
  ::setenv("WAYLAND_DISPLAY", "wayland-test", 1);
  DesktopIdleMs();
}

// A reset leaves behind the worker that is stuck on a silent bus, and with
// it that bus's retry pause: once the silent bus is gone, the next bus
// answers at once.
TEST_F(DesktopIdleTest, AfterAResetTheNextBusAnswersThoughTheLastWasStuck) {
  auto listener = SilentBus();
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(DBusIdleMs(100), std::nullopt);

  ResetDesktopIdleSources();
  listener.reset();
  const std::string address = StartBus();
  ASSERT_FALSE(address.empty()) << "dbus-daemon could not be started";
  ASSERT_TRUE(StartMonitor(address, {"mutter", "777"}));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  EXPECT_EQ(DBusIdleMs(kFirstAnswerWaitMs), 777u);
}

}  // namespace
}  // namespace tov
