#include "platform/Processes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

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
  ::chmod(beside.c_str(), 0644);
  EXPECT_EQ(LocateProgram("Tovfetch", PathJoin(work_.Path(), "a")), "Tovfetch");
  ::mkdir("a/Dir", 0755);
  EXPECT_EQ(LocateProgram("Dir", PathJoin(work_.Path(), "a")), "Dir");
  EXPECT_EQ(LocateProgram("Tovfetch", PathJoin(work_.Path(), "none")), "Tovfetch");
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

TEST(ProgramDir, IsTheDirectoryOfTheRunningProgram) {
  std::string dir = ProgramDir();
  EXPECT_TRUE(FileExists(PathJoin(dir, "platform_tests")));
}

}  // namespace
}  // namespace tov
