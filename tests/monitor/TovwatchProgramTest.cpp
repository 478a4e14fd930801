// The monitor program itself: a copy of build/bin/Tovwatch run in a test
// directory on the offscreen platform, with a fake crawler program beside it
// or on PATH and the link test program playing crawlers and monitors.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Config.h"
#include "common/MessageKinds.h"
#include "platform/Files.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"

extern char** environ;

namespace tov {
namespace {

using test::LinkPeer;

// One run of a program with its output in files; killed if still running
// when the object goes.
class ProgramRun {
 public:
  ProgramRun(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
             const std::string& path_env, const std::string& stderr_file)
      : stderr_file_(stderr_file) {
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen", "PATH=" + path_env};
    for (char** e = environ; *e != nullptr; ++e) {
      std::string var = *e;
      if (var.rfind("QT_QPA_PLATFORM=", 0) != 0 && var.rfind("PATH=", 0) != 0 && var.rfind("DISPLAY=", 0) != 0 &&
          var.rfind("WAYLAND_DISPLAY=", 0) != 0) {
        env.push_back(var);
      }
    }
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
  }
  ~ProgramRun() {
    if (!reaped_) Kill();
  }
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  pid_t Pid() const { return pid_; }
  // The exit status (128 + signal when killed by one); -1 while it runs on.
  int Wait(int timeout_ms = 10000) {
    if (reaped_) return status_;
    test::WaitUntil(
        [&] {
          int st = 0;
          if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
          reaped_ = true;
          status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
          return true;
        },
        timeout_ms);
    return reaped_ ? status_ : -1;
  }
  bool Running() { return Wait(0) == -1; }
  int Terminate() {
    ::kill(pid_, SIGTERM);
    return Wait();
  }
  void Kill() {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  std::string Stderr() const { return test::ReadFileBytes(stderr_file_); }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string stderr_file_;
};

// Children of pid that have ended and wait to be reaped.
int ZombieChildren(pid_t pid) {
  int zombies = 0;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
  while (dirent* entry = ::readdir(proc.get())) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == pid && state == 'Z') ++zombies;
  }
  return zombies;
}

class TovwatchProgramTest : public ::testing::Test {
 protected:
  TovwatchProgramTest() {
    for (const char* d : {"bin", "path", "run"}) ::mkdir(Dir(d).c_str(), 0755);
    std::filesystem::copy_file(test::BinDir() + "/Tovwatch", Program());
    WriteSettings();
  }

  std::string Dir(const std::string& name) const { return PathJoin(root_, name); }
  std::string Program() const { return Dir("bin") + "/Tovwatch"; }
  std::string Run() const { return Dir("run"); }
  std::string InRun(const std::string& file) const { return PathJoin(Run(), file); }
  void WriteSettings() const {
    std::array<uint8_t, ConfigData::kSize> bytes = EncodeConfig(ConfigData{});
    test::WriteFileBytes(InRun("Config.bin"), std::string(bytes.begin(), bytes.end()));
  }
  // A crawler program that notes where it ran and which copy it was.
  void FakeCrawler(const std::string& dir, const std::string& mark) const {
    std::string path = PathJoin(Dir(dir), "Tovfetch");
    test::WriteFileBytes(path, "#!/bin/sh\necho \"$(pwd) " + mark + "\" >> started.txt\n");
    ::chmod(path.c_str(), 0755);
  }
  std::unique_ptr<ProgramRun> Start(const std::vector<std::string>& args = {}) {
    std::string path = Dir("path") + ":/usr/bin:/bin";
    return std::make_unique<ProgramRun>(Program(), args, Run(), path, InRun("stderr-" + std::to_string(++runs_) + ".txt"));
  }
  std::vector<std::string> Log() const { return test::ReadLines(InRun("ErrorLog.txt")); }
  bool WaitForLog(const std::string& tail, int n = 1) const {
    return test::WaitUntil(
        [&] {
          int seen = 0;
          for (const std::string& line : Log()) {
            seen += line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
          }
          return seen >= n;
        },
        10000);
  }

  test::PrivateLinkDir dir_;
  std::string root_ = GetCurrentDir();
  int runs_ = 0;
};

TEST_F(TovwatchProgramTest, UnreadableSettingsEndTheProgramWithAMessage) {
  FakeCrawler("bin", "beside");
  ::unlink(InRun("Config.bin").c_str());
  auto run = Start();
  EXPECT_EQ(run->Wait(), 1);
  const std::string text = "Tovwatch can't start: the settings file Config.bin can't be read (File not found).";
  EXPECT_NE(run->Stderr().find("Error: " + text + "\n"), std::string::npos) << run->Stderr();
  EXPECT_TRUE(WaitForLog(": " + text));
  EXPECT_FALSE(FileExists(InRun("started.txt")));

  test::WriteFileBytes(InRun("Config.bin"), std::string(183, '\0'));
  auto short_file = Start();
  EXPECT_EQ(short_file->Wait(), 1);
  EXPECT_TRUE(WaitForLog("can't be read (Read beyond end of file)."));
}

TEST_F(TovwatchProgramTest, RunningMonitorEndsTheProgramWithAMessage) {
  FakeCrawler("bin", "beside");
  LinkPeer other({"monitor", "pid"});
  ASSERT_EQ(other.WaitLine("ready"), "ready");
  auto run = Start();
  EXPECT_EQ(run->Wait(), 1);
  EXPECT_NE(run->Stderr().find("Error: Tovwatch can't start: another monitor is already running.\n"), std::string::npos);
  EXPECT_TRUE(WaitForLog(": Tovwatch can't start: another monitor is already running."));
  EXPECT_FALSE(FileExists(InRun("started.txt")));
  EXPECT_EQ(other.Ask("monitorid", "monitorid"), "monitorid " + std::to_string(other.Pid()));
}

// Moved by TOV_IPC_DIR or in the home, a link folder that is not the user's
// alone ends the program with a message and a line that say which folder and
// how to move it.
TEST_F(TovwatchProgramTest, AnUnusableLinkFolderEndsTheProgramNamingTheFolderAndTheVariable) {
  FakeCrawler("bin", "beside");
  test::ForEachUnusableLinkFolder(root_, [&](const std::string& path, const std::string& what) {
    auto run = Start();
    EXPECT_EQ(run->Wait(), 1);
    const std::string text = "Tovwatch can't start: the link to the crawler can't be made (Link folder " + path + " " +
                             what + "; set TOV_IPC_DIR to a folder of your own to move it).";
    EXPECT_NE(run->Stderr().find("Error: " + text + "\n"), std::string::npos) << run->Stderr();
    EXPECT_TRUE(WaitForLog(": " + text));
  });
  EXPECT_FALSE(FileExists(InRun("started.txt")));
}

TEST_F(TovwatchProgramTest, MonitorKilledWhileACrawlerHeldTheLinkIsTakenOver) {
  FakeCrawler("bin", "beside");
  LinkPeer crawler({"client", "11", "Tovfetch"});
  ASSERT_EQ(crawler.WaitLine("ready"), "ready");
  auto first = Start();
  std::string first_id = "monitorid " + std::to_string(first->Pid());
  ASSERT_TRUE(test::WaitUntil([&] { return crawler.Ask("monitorid", "monitorid") == first_id; }, 10000));
  ASSERT_TRUE(WaitForLog(": Tovwatch Startet"));
  first->Kill();
  EXPECT_EQ(crawler.Ask("monitorid", "monitorid"), first_id);

  auto second = Start();
  std::string second_id = "monitorid " + std::to_string(second->Pid());
  EXPECT_TRUE(test::WaitUntil([&] { return crawler.Ask("monitorid", "monitorid") == second_id; }, 10000));
  EXPECT_TRUE(WaitForLog(": Tovwatch Startet", 2));
  EXPECT_TRUE(second->Running());
  EXPECT_EQ(second->Terminate(), 0);
}

// Where the crawler program comes from: beside the monitor's own file first,
// else from PATH; it runs in the monitor's working directory.
struct CrawlerCase {
  const char* name;
  bool beside;
  bool on_path;
  const char* started;  // the line it notes; empty: it cannot be started
};

void PrintTo(const CrawlerCase& c, std::ostream* os) { *os << c.name; }

class CrawlerStartTest : public TovwatchProgramTest, public ::testing::WithParamInterface<CrawlerCase> {};

TEST_P(CrawlerStartTest, StartsTovfetchAndReapsIt) {
  const CrawlerCase& c = GetParam();
  if (c.beside) FakeCrawler("bin", "beside");
  if (c.on_path) FakeCrawler("path", "path");
  auto run = Start();
  if (*c.started) {
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadLines(InRun("started.txt")).size() == 1; }, 10000));
    EXPECT_EQ(test::ReadLines(InRun("started.txt"))[0], Run() + " " + c.started);
    // The crawler has ended; the monitor leaves no zombie behind.
    EXPECT_TRUE(test::WaitUntil([&] { return ZombieChildren(run->Pid()) == 0; }, 10000));
  } else {
    EXPECT_TRUE(test::WaitUntil(
        [&] { return run->Stderr().find("Error: Couldn't execute the application\n") != std::string::npos; }, 10000));
    EXPECT_TRUE(WaitForLog(": Couldn't execute the application Tovfetch: No such file or directory"));
  }
  EXPECT_TRUE(WaitForLog(": Tovwatch Startet"));
  EXPECT_TRUE(run->Running());
  EXPECT_EQ(run->Terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(From, CrawlerStartTest,
                         ::testing::Values(CrawlerCase{"BesideTheMonitor", true, true, "beside"},
                                           CrawlerCase{"OnPath", false, true, "path"},
                                           CrawlerCase{"Nowhere", false, false, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TovwatchProgramTest, WithoutANotificationAreaTheWindowIsShownAndTheLogSaysWhy) {
  FakeCrawler("bin", "beside");
  auto background = Start({"-b"});
  EXPECT_TRUE(WaitForLog(": No notification area on this desktop: the main window is shown in spite of the b switch"));
  EXPECT_EQ(background->Terminate(), 0);
  auto plain = Start({"-B"});
  EXPECT_TRUE(WaitForLog(": No notification area on this desktop: Tovwatch runs without its tray icon"));
  EXPECT_EQ(plain->Terminate(), 0);
}

TEST_F(TovwatchProgramTest, TerminationSignalExitsAndTellsTheCrawler) {
  FakeCrawler("bin", "beside");
  LinkPeer crawler({"client", "11", "Tovfetch"});
  ASSERT_EQ(crawler.WaitLine("ready"), "ready");
  auto run = Start();
  ASSERT_TRUE(crawler.WaitCount("connect 1", 1));
  EXPECT_EQ(crawler.WaitLine("signal"), test::SignalLine(KindNone, 0x230E));
  size_t mark = crawler.LineCount();
  EXPECT_EQ(run->Terminate(), 0);
  EXPECT_EQ(crawler.WaitLine("signal", mark), test::SignalLine(KindExit, 0, "0"));
  EXPECT_TRUE(crawler.WaitCount("connect 0", 1));
  EXPECT_EQ(crawler.Ask("monitorid", "monitorid"), "monitorid 0");
}

}  // namespace
}  // namespace tov
