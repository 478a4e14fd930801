#include "monitor/MonitorLink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

TEST(BackgroundSwitch, OnlyAnIntroducerAndALowerCaseBCount) {
  struct Case {
    const char* param;
    bool counts;
  };
  const Case cases[] = {
      {"-b", true},  {"/b", true},   {"|b", true},  {"-B", false}, {"/B", false}, {"b", false},  {"--b", false},
      {"-bb", false}, {"-b ", false}, {"-", false},  {"", false},   {"+b", false}, {"\\b", false}, {"//b", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBackgroundSwitch(c.param), c.counts) << '"' << c.param << '"';
}

TEST(BackgroundSwitch, AnyParameterButTheProgramNameCounts) {
  const char* only_program[] = {"-b"};
  EXPECT_FALSE(HasBackgroundSwitch(1, only_program));
  const char* later[] = {"Tovwatch", "-x", "/b"};
  EXPECT_TRUE(HasBackgroundSwitch(3, later));
  const char* none[] = {"Tovwatch", "-B", "b"};
  EXPECT_FALSE(HasBackgroundSwitch(3, none));
}

// The crawler's start from a folder of the test's own, with a crawler on
// PATH that notes when it runs.
class CrawlerStartTest : public ::testing::Test {
 protected:
  CrawlerStartTest() {
    SetMessageBoxHandler([this](const TMessageBoxRequest& r) {
      boxes_.push_back(r);
      return mbOK;
    });
    ::mkdir(Dir("path").c_str(), 0755);
    Script(Dir("path"), "Tovfetch", "echo path >> started.txt");
  }
  ~CrawlerStartTest() override {
    SetCrawlerLauncher(nullptr);
    SetMessageBoxHandler(nullptr);
  }
  std::string Dir(const std::string& name) const { return PathJoin(work_.Path(), name); }
  static void Script(const std::string& dir, const std::string& name, const std::string& body) {
    const std::string path = PathJoin(dir, name);
    test::WriteFileBytes(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
  }
  // Starts the crawler from dir through the monitor; its id, or -1.
  int32_t Start(const std::string& dir) {
    int32_t pid = -1;
    SetCrawlerLauncher([&] {
      TCrawlerStart start = LaunchCrawler(dir);
      pid = start.Pid;
      return start;
    });
    TMonitorLink link(TMonitorWindowPosts{});
    const bool started = link.StartCrawler();
    EXPECT_EQ(started, pid > 0);
    return pid;
  }
  static int Logged(const std::string& message) {
    const std::vector<std::string> log = test::ErrorLogMessages();
    return static_cast<int>(std::count(log.begin(), log.end(), message));
  }

  test::ScopedWorkDir work_;
  test::ScopedEnv path_{"PATH", (work_.Path() + "/path:/usr/bin:/bin").c_str()};
  std::vector<TMessageBoxRequest> boxes_;
};

// A crawler that ends at once is named in the log then, once, with how it
// ended, instead of only as a silent one minutes later.
TEST_F(CrawlerStartTest, ACrawlerThatEndsGetsOneLineWithItsExitCodeOrSignal) {
  struct Case {
    const char* script;
    const char* ending;
  };
  const Case cases[] = {
      {"exit 127", "ended with exit code 127"},
      {"exit 0", "ended with exit code 0"},
      {"kill -KILL $$", "was ended by signal 9 (Killed)"},
  };
  std::vector<std::string> lines;
  for (const Case& c : cases) {
    const std::string dir = Dir("bin" + std::to_string(lines.size()));
    ::mkdir(dir.c_str(), 0755);
    Script(dir, "Tovfetch", c.script);
    const int32_t pid = Start(dir);
    ASSERT_GT(pid, 0) << c.script;
    lines.push_back("Tovfetch (process " + std::to_string(pid) + ") " + c.ending);
  }
  EXPECT_TRUE(test::WaitUntil([&] { return std::all_of(lines.begin(), lines.end(), Logged); }, 10000));
  for (const std::string& line : lines) EXPECT_EQ(Logged(line), 1) << line;
  EXPECT_TRUE(boxes_.empty());
  EXPECT_FALSE(FileExists("started.txt"));
}

// What stands beside under the crawler's name is what is started: when it
// cannot be run, the line names it and its fault, and PATH is not searched.
TEST_F(CrawlerStartTest, AProgramBesideThatCannotBeRunIsNamedWithItsFault) {
  ::mkdir(Dir("bin").c_str(), 0755);
  const std::string beside = PathJoin(Dir("bin"), "Tovfetch");
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* fault;
  };
  const Case cases[] = {
      {"no execute right",
       [&] {
         Script(Dir("bin"), "Tovfetch", "exit 0");
         ::chmod(beside.c_str(), 0644);
       },
       "Permission denied"},
      {"a folder", [&] { ::mkdir(beside.c_str(), 0755); }, "Permission denied"},
      {"a link to nothing", [&] { ::symlink("nowhere", beside.c_str()); }, "No such file or directory"},
  };
  for (const Case& c : cases) {
    ::unlink(beside.c_str());
    ::rmdir(beside.c_str());
    c.make();
    boxes_.clear();
    const std::string line = "Couldn't execute the application " + beside + ": " + c.fault;
    const int before = Logged(line);
    EXPECT_EQ(Start(Dir("bin")), -1) << c.what;
    EXPECT_EQ(Logged(line), before + 1) << c.what;
    ASSERT_EQ(boxes_.size(), 1u) << c.what;
    EXPECT_EQ(boxes_[0].Text, "Couldn't execute the application");
  }
  EXPECT_FALSE(FileExists("started.txt"));

  // Nothing beside: the one on PATH.
  ::unlink(beside.c_str());
  const int32_t pid = Start(Dir("bin"));
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(test::WaitUntil([] { return FileExists("started.txt"); }));
  EXPECT_TRUE(test::WaitUntil(
      [&] { return Logged("Tovfetch (process " + std::to_string(pid) + ") ended with exit code 0") == 1; }, 10000));
}

}  // namespace
}  // namespace tov
