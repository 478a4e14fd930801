#include "common/ErrorLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <thread>
#include <vector>

#include "platform/SysUtils.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

TEST(WriteErrorLog, CreatesTheFileWithOneStampedLine) {
  test::ScopedWorkDir dir;
  WriteErrorLog("Tovfetch Startet");
  std::string text = test::ReadFileBytes("ErrorLog.txt");
  // In the C locale: "HH:MM:SS mm/dd/yy: message" and CR LF.
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d:\d\d:\d\d \d\d/\d\d/\d\d: Tovfetch Startet\r\n)")))
      << text;
}

TEST(WriteErrorLog, ANewFileIsTheUsersAloneWhateverTheUmaskAndAnOldOneKeepsItsMode) {
  test::ScopedWorkDir dir;
  test::ScopedUmask open_umask(0);
  WriteErrorLog("one");
  EXPECT_EQ(test::PermissionsOf("ErrorLog.txt"), 0600);
  ASSERT_EQ(::chmod("ErrorLog.txt", 0640), 0);
  WriteErrorLog("two");
  EXPECT_EQ(test::PermissionsOf("ErrorLog.txt"), 0640);
  EXPECT_EQ(test::ReadLines("ErrorLog.txt").size(), 2u);
}

TEST(WriteErrorLog, AppendsBehindTheOldContentAndKeepsMessagesAsTheyAre) {
  test::ScopedWorkDir dir;
  test::WriteFileBytes("ErrorLog.txt", "old line without end");
  WriteErrorLog("");
  WriteErrorLog("two\nlines");
  std::string text = test::ReadFileBytes("ErrorLog.txt");
  ASSERT_EQ(text.rfind("old line without end", 0), 0u);
  auto lines = test::ReadLines("ErrorLog.txt");
  ASSERT_EQ(lines.size(), 3u);
  // The empty message: time, blank, date, colon and blank.
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(old line without end\S+ \S+: )"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\S+ \S+: two)")));
  EXPECT_EQ(lines[2], "lines");  // only the first physical line carries the stamp
}

TEST(WriteErrorLog, ReadOnlyFileGivesAccessDeniedAndStaysUnchanged) {
  test::ScopedWorkDir dir;
  test::WriteFileBytes("ErrorLog.txt", "keep");
  ::chmod("ErrorLog.txt", 0444);
  testing::internal::CaptureStderr();
  try {
    WriteErrorLog("x");
    FAIL() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), 5);
    EXPECT_EQ(e.Message(), "File access denied");
  }
  const std::string stderr_text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::ReadFileBytes("ErrorLog.txt"), "keep");
  // The line is not lost without a trace.
  EXPECT_EQ(stderr_text.substr(stderr_text.size() - 5), ": x\r\n");
}

TEST(WriteErrorLog, AFullDiskGivesError112AndTheLineReachesStandardError) {
  test::ScopedWorkDir dir;
  ASSERT_EQ(::symlink("/dev/full", "ErrorLog.txt"), 0);
  testing::internal::CaptureStderr();
  try {
    WriteErrorLog("no room");
    FAIL() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), 112);
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find(": no room\r\n"), std::string::npos);
}

TEST(WriteErrorLog, ThreadsOfOneProcessNeverLoseALine) {
  test::ScopedWorkDir dir;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) WriteErrorLog("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  auto lines = test::ReadLines("ErrorLog.txt");
  EXPECT_EQ(lines.size(), 400u);
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, std::regex(R"(\S+ \S+: thread \d line \d+)"))) << l;
}

TEST(WriteErrorLog, LocaleStampWithSeconds) {
  // The stamp is "<time> <date>: "; the time carries seconds in any locale.
  std::string stamp = ErrorLogStamp();
  EXPECT_GE(std::count(stamp.begin(), stamp.end(), ':'), 3);
  EXPECT_EQ(stamp.substr(stamp.size() - 2), ": ");
}

}  // namespace
}  // namespace tov
