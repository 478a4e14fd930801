#include "platform/IdleTime.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

uint64_t NowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// A folder of device nodes like /dev's, with access times set by the test.
class InputDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Any character device will do; this one is /dev/null's.
    if (::mknod("probe", S_IFCHR | 0600, makedev(1, 3)) != 0) GTEST_SKIP() << "cannot make device nodes here";
    ::unlink("probe");
  }
  // A node whose access time lies seconds_ago in the past.
  void Node(const std::string& name, int64_t seconds_ago, bool device = true) {
    const std::string path = PathJoin(work_.Path(), name);
    if (device) {
      ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0) << name;
    } else {
      test::WriteFileBytes(path, "");
    }
    timespec times[2]{};
    times[0].tv_sec = static_cast<time_t>(NowMs() / 1000) - seconds_ago;
    times[1].tv_nsec = UTIME_OMIT;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  std::vector<TInputDevices> Devices(const std::string& prefix) const { return {{work_.Path(), prefix}}; }

  test::ScopedWorkDir work_;
};

TEST_F(InputDeviceTest, TakesTheNewestAccessOfTheMatchingDevices) {
  Node("tty1", 500);
  Node("ttyS0", 50);
  Node("tty", 1);        // the controlling-terminal alias: no number
  Node("ttyX", 1);       // does not end in a digit
  Node("pty5", 1);       // another prefix
  Node("tty7", 1, false);  // a plain file is no device
  std::optional<uint64_t> ms = InputDeviceIdleMs(Devices("tty"));
  ASSERT_TRUE(ms.has_value());
  EXPECT_GE(*ms, 49000u);
  EXPECT_LT(*ms, 60000u);

  // /dev/pts names are bare numbers; "ptmx" is not a terminal.
  ::mkdir("pts", 0755);
  Node("pts/3", 200);
  Node("pts/ptmx", 1);
  ms = InputDeviceIdleMs({{work_.Path() + "/pts", ""}, {work_.Path(), "event"}});
  ASSERT_TRUE(ms.has_value());
  EXPECT_GE(*ms, 199000u);
  EXPECT_LT(*ms, 210000u);
}

TEST_F(InputDeviceTest, AnAccessTimeAheadCountsAsNowAndNoDeviceGivesNothing) {
  Node("event0", -3600);
  EXPECT_EQ(InputDeviceIdleMs(Devices("event")), 0u);
  EXPECT_EQ(InputDeviceIdleMs(Devices("mouse")), std::nullopt);
  EXPECT_EQ(InputDeviceIdleMs({{work_.Path() + "/missing", ""}}), std::nullopt);
  EXPECT_EQ(InputDeviceIdleMs({}), std::nullopt);
}

TEST_F(InputDeviceTest, DevicesThisProcessCannotReadDoNotCount) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every device";
  Node("event0", 10);
  ::chmod("event0", 0200);
  EXPECT_EQ(InputDeviceIdleMs(Devices("event")), std::nullopt);
}

TEST(Uptime, IsTheTimeSinceBoot) {
  double seconds = 0;
  FILE* f = std::fopen("/proc/uptime", "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fscanf(f, "%lf", &seconds), 1);
  std::fclose(f);
  const uint64_t ms = UptimeMs();
  EXPECT_GE(ms + 1000, static_cast<uint64_t>(seconds * 1000));
  EXPECT_LT(ms, static_cast<uint64_t>(seconds * 1000) + 60000);
}

TEST(BoundedCall, AStuckQueryIsGivenUpOnAndAnsweredAgainOnceItReturns) {
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
  std::atomic<std::thread::id> thread{};
  TBoundedCall call([&]() -> std::optional<uint64_t> {
    thread = std::this_thread::get_id();
    ++runs;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return runs.load();
  });
  EXPECT_EQ(call.Call(20), std::nullopt);
  // While it is out, further calls answer nothing and ask nothing more.
  EXPECT_EQ(call.Call(20), std::nullopt);
  EXPECT_EQ(runs, 1);
  EXPECT_NE(thread.load(), std::this_thread::get_id());
  release = true;
  EXPECT_TRUE(test::WaitUntil([&] { return call.Call(1000) == std::optional<uint64_t>(2); }));
  const std::thread::id worker = thread;
  EXPECT_EQ(call.Call(1000), std::optional<uint64_t>(3));
  EXPECT_EQ(thread.load(), worker);  // one worker runs every query
}

TEST(BoundedCall, AQueryThatThrowsAnswersNothingAndTheNextOneRuns) {
  int n = 0;
  TBoundedCall call([&]() -> std::optional<uint64_t> {
    if (++n == 1) throw std::runtime_error("lost");
    return 7;
  });
  EXPECT_EQ(call.Call(5000), std::nullopt);
  EXPECT_EQ(call.Call(5000), std::optional<uint64_t>(7));
}

TEST(BoundedCall, GoesWhileItsQueryIsStuckWithoutWaitingForIt) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  {
    TBoundedCall call([release]() -> std::optional<uint64_t> {
      while (!*release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return 1;
    });
    EXPECT_EQ(call.Call(10), std::nullopt);
  }
  *release = true;  // the worker ends by itself
}

}  // namespace
}  // namespace tov
