#include "platform/Processes.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

class ProcessesTest : public ::testing::Test {
 protected:
  // An executable script that writes the directory it runs in to where.txt.
  std::string WriteScript(const std::string& dir, const std::string& name) {
    std::string path = PathJoin(dir, name);
    test::WriteFileBytes(path, "#!/bin/sh\npwd > where.txt\n");
    ::chmod(path.c_str(), 0755);
    return path;
  }
  static bool Reaped(int32_t pid) { return !DirectoryExists("/proc/" + std::to_string(pid)); }

  test::ScopedWorkDir work_;
};

TEST_F(ProcessesTest, SpawnedProgramRunsInTheCurrentDirectoryAndIsReaped) {
  ::mkdir("bin", 0755);
  std::string script = WriteScript(PathJoin(work_.Path(), "bin"), "Tovfetch");
  int32_t pid = SpawnProgram(script);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(test::WaitUntil([&] { return Reaped(pid); }));
  EXPECT_FALSE(ProcessExists(pid));
  EXPECT_EQ(test::ReadFileBytes("where.txt"), work_.Path() + "\n");
}

TEST_F(ProcessesTest, BareNameIsLookedUpOnPath) {
  ::mkdir("onpath", 0755);
  WriteScript(PathJoin(work_.Path(), "onpath"), "Tovfetch");
  std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (PathJoin(work_.Path(), "onpath") + ":/usr/bin:/bin").c_str(), 1);
  int32_t pid = SpawnProgram("Tovfetch");
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(test::WaitUntil([&] { return Reaped(pid); }));
  EXPECT_EQ(test::ReadFileBytes("where.txt"), work_.Path() + "\n");

  EXPECT_EQ(SpawnProgram("NoSuchProgram"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(SpawnProgram(PathJoin(work_.Path(), "missing/Tovfetch")), -1);
  ::setenv("PATH", old_path.c_str(), 1);
}

TEST_F(ProcessesTest, ProgramBesideTheDirectoryIsPreferredWhenExecutable) {
  ::mkdir("a", 0755);
  std::string beside = WriteScript(PathJoin(work_.Path(), "a"), "Tovfetch");
  EXPECT_EQ(LocateProgram("Tovfetch", PathJoin(work_.Path(), "a")), beside);
  EXPECT_EQ(LocateProgram("Tovfetch", PathJoin(work_.Path(), "none")), "Tovfetch");
  EXPECT_EQ(LocateProgram("Missing", PathJoin(work_.Path(), "a")), "Missing");
}

// Whatever stands beside under the name is what is started, so its start
// fails with its own fault rather than with a search of PATH.
TEST_F(ProcessesTest, ProgramBesideThatCannotBeRunIsStillTheOneStarted) {
  ::mkdir("a", 0755);
  const std::string dir = PathJoin(work_.Path(), "a");
  ::chmod(WriteScript(dir, "NoRight").c_str(), 0644);
  ::mkdir("a/Folder", 0755);
  ASSERT_EQ(::symlink("nowhere", "a/Dangling"), 0);
  struct Case {
    const char* name;
    int error;
  };
  const Case cases[] = {{"NoRight", EACCES}, {"Folder", EACCES}, {"Dangling", ENOENT}};
  for (const Case& c : cases) {
    const std::string located = LocateProgram(c.name, dir);
    EXPECT_EQ(located, PathJoin(dir, c.name));
    errno = 0;
    EXPECT_EQ(SpawnProgram(located), -1) << c.name;
    EXPECT_EQ(errno, c.error) << c.name;
  }
}

TEST(WaitStatusText, SaysTheExitCodeOrTheSignal) {
  struct Case {
    int status;
    std::string text;
  };
  const Case cases[] = {
      {W_EXITCODE(0, 0), "ended with exit code 0"},
      {W_EXITCODE(127, 0), "ended with exit code 127"},
      {W_EXITCODE(0, SIGKILL), "was ended by signal 9 (Killed)"},
      {W_EXITCODE(0, SIGSEGV), "was ended by signal 11 (Segmentation fault)"},
      {W_EXITCODE(0, SIGRTMAX), "was ended by signal " + std::to_string(SIGRTMAX)},  // no description
  };
  for (const Case& c : cases) EXPECT_EQ(WaitStatusText(c.status), c.text) << c.status;
}

// Each child's end is told once, with its own id and status; a child of
// another start is not told to this one.
TEST_F(ProcessesTest, TheReaperTellsOnceHowEachChildEnded) {
  struct Told {
    std::mutex mutex;
    std::vector<std::pair<int32_t, int>> ends;
  };
  auto told = std::make_shared<Told>();  // outlives the test for a late call
  auto tell = [told](int32_t pid, int status) {
    std::lock_guard<std::mutex> lock(told->mutex);
    told->ends.emplace_back(pid, status);
  };
  struct Case {
    const char* script;
    int status;
  };
  const Case cases[] = {
      {"exit 3", W_EXITCODE(3, 0)},
      {"exit 0", W_EXITCODE(0, 0)},
      {"kill -KILL $$", W_EXITCODE(0, SIGKILL)},
      {"kill -TERM $$", W_EXITCODE(0, SIGTERM)},
  };
  std::vector<int32_t> pids;
  for (const Case& c : cases) {
    const std::string path = PathJoin(work_.Path(), "child" + std::to_string(pids.size()));
    test::WriteFileBytes(path, std::string("#!/bin/sh\n") + c.script + "\n");
    ::chmod(path.c_str(), 0755);
    pids.push_back(SpawnProgram(path, tell));
    ASSERT_GT(pids.back(), 0) << c.script;
  }
  const int32_t untold = SpawnProgram(WriteScript(work_.Path(), "untold"));
  ASSERT_GT(untold, 0);
  auto ends = [&] {
    std::lock_guard<std::mutex> lock(told->mutex);
    return told->ends;
  };
  ASSERT_TRUE(test::WaitUntil([&] { return ends().size() >= pids.size(); }, 10000));
  EXPECT_TRUE(test::WaitUntil([&] { return Reaped(untold); }));
  const std::vector<std::pair<int32_t, int>> seen = ends();
  EXPECT_EQ(seen.size(), pids.size());
  for (size_t i = 0; i < pids.size(); ++i) {
    EXPECT_EQ(std::count(seen.begin(), seen.end(), std::make_pair(pids[i], cases[i].status)), 1) << cases[i].script;
  }
}

TEST_F(ProcessesTest, EndedProcessesDoNotExistEvenBeforeTheyAreReaped) {
  EXPECT_TRUE(ProcessExists(CurrentProcessId()));
  EXPECT_FALSE(ProcessExists(0));
  EXPECT_FALSE(ProcessExists(-1));
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  // Not reaped yet: a zombie still has its /proc entry.
  EXPECT_TRUE(test::WaitUntil([&] { return !ProcessExists(child); }));
  EXPECT_FALSE(Reaped(child));
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(ProcessExists(child));
}

// A process whose first thread has ended while another still runs: the
// first is a zombie, and the process holds its files until the last ends.
TEST_F(ProcessesTest, AProcessWithAThreadLeftIsNotGoneThoughItsFirstThreadIs) {
  int release[2];
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(release[1]);
    pthread_t thread;
    if (::pthread_create(
            &thread, nullptr,
            [](void* fd) -> void* {
              char c;
              (void)::read(*static_cast<int*>(fd), &c, 1);
              ::_exit(0);
            },
            &release[0]) != 0) {
      ::_exit(1);
    }
    ::syscall(SYS_exit, 0);  // this thread alone, without unwinding the test's frames
  }
  ASSERT_GT(child, 0);
  ::close(release[0]);
  EXPECT_TRUE(test::WaitUntil([&] { return !ProcessExists(child); }));
  EXPECT_TRUE(ProcessThreadsLeft(child));
  ::close(release[1]);  // the last thread ends
  EXPECT_TRUE(test::WaitUntil([&] { return !ProcessThreadsLeft(child); }));
  EXPECT_FALSE(Reaped(child));  // gone though not reaped yet
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(ProcessThreadsLeft(child));
  EXPECT_FALSE(ProcessThreadsLeft(0));
}

TEST(ProcessNameMatches, ComparesTheFileNameOrTheWholeNameIgnoringCase) {
  struct Case {
    const char* entry;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"/usr/bin/Tovfetch", "Tovfetch", true},
      {"/usr/bin/tovfetch", "TOVFETCH", true},
      {"/usr/bin/Tovfetch", "/usr/bin/Tovfetch", true},   // the whole name
      {"/USR/BIN/TOVFETCH", "/usr/bin/tovfetch", true},
      {"Tovfetch", "Tovfetch", true},                     // a command name without a path
      {"/usr/bin/Tovfetch", "bin/Tovfetch", false},       // neither the file name nor the whole
      {"/usr/bin/Tovfetch2", "Tovfetch", false},
      {"/usr/bin/Tovfetch", "Tovfetc", false},
      {"/opt/Tovfetch/Tovwatch", "Tovfetch", false},      // a directory of that name does not count
      {"/usr/bin/", "", true},                            // an empty file part equals an empty name
  };
  for (const Case& c : cases) EXPECT_EQ(ProcessNameMatches(c.entry, c.name), c.matches) << c.entry << " / " << c.name;
}

// Copies of sleep under names of their own, so that nothing else of this
// user is ever hit; children of this process, reaped by the fixture.
class KillProcessByNameTest : public ProcessesTest {
 protected:
  KillProcessByNameTest() { ::chmod(work_.Path().c_str(), 0755); }
  ~KillProcessByNameTest() override {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  std::string Program(const std::string& name) {
    std::string path = PathJoin(work_.Path(), name + std::to_string(::getpid()));
    std::filesystem::copy_file("/bin/sleep", path);
    ::chmod(path.c_str(), 0755);
    return path;
  }
  // uid < 0: this user.
  pid_t Start(const std::string& path, int uid = -1) {
    pid_t pid = ::fork();
    if (pid == 0) {
      if (uid >= 0 && (::setgid(static_cast<gid_t>(uid)) != 0 || ::setuid(static_cast<uid_t>(uid)) != 0)) ::_exit(2);
      ::execl(path.c_str(), path.c_str(), "600", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    children_.push_back(pid);
    // Running the copy once its /proc entry names it.
    EXPECT_TRUE(test::WaitUntil([&] {
      char buf[4096];
      ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf);
      return (n > 0 && std::string(buf, static_cast<size_t>(n)) == path) || uid >= 0;
    }));
    return pid;
  }
  static bool Ended(pid_t pid) {
    return test::WaitUntil([&] { return !ProcessExists(pid); });
  }

  std::vector<pid_t> children_;
};

TEST_F(KillProcessByNameTest, KillsEveryCopyOfThatNameAlsoAStoppedOneAndNoOther) {
  const std::string crawler = Program("TovKillMe");
  const std::string other = Program("TovKeepMe");
  pid_t a = Start(crawler);
  pid_t b = Start(crawler);
  pid_t keep = Start(other);
  ::kill(b, SIGSTOP);  // a crawler that hangs: a stopped process ends as well
  const std::string name = crawler.substr(crawler.rfind('/') + 1);
  std::string lower = name;
  for (char& c : lower) c = AsciiLower(c);
  std::vector<int32_t> killed;
  EXPECT_EQ(KillProcessByName(lower, &killed), 2);
  std::sort(killed.begin(), killed.end());
  EXPECT_EQ(killed, (std::vector<int32_t>{std::min(a, b), std::max(a, b)}));
  EXPECT_TRUE(Ended(a));
  EXPECT_TRUE(Ended(b));
  EXPECT_TRUE(ProcessExists(keep));
  EXPECT_EQ(KillProcessByName(lower), 0);  // nothing left of that name
  EXPECT_EQ(KillProcessByName(other), 1);  // the whole name counts too
  EXPECT_TRUE(Ended(keep));
}

TEST_F(KillProcessByNameTest, LeavesProcessesOfOtherUsersAlone) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  const std::string crawler = Program("TovKillOther");
  pid_t foreign = Start(crawler, 65534);
  ASSERT_TRUE(test::WaitUntil([&] {
    struct stat st {};
    return ::stat(("/proc/" + std::to_string(foreign)).c_str(), &st) == 0 && st.st_uid == 65534;
  }));
  pid_t own = Start(crawler);
  EXPECT_EQ(KillProcessByName(crawler.substr(crawler.rfind('/') + 1)), 1);
  EXPECT_TRUE(Ended(own));
  EXPECT_TRUE(ProcessExists(foreign));
}

TEST(ProgramDir, IsTheDirectoryOfTheRunningProgram) {
  std::string dir = ProgramDir();
  EXPECT_TRUE(FileExists(PathJoin(dir, "platform_tests")));
}

}  // namespace
}  // namespace tov
