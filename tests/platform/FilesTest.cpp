#include "platform/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/TestSupport.h"

namespace tov {
namespace {

int CodeOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EInOutError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(TFile, FailuresCarryTheClassLibraryCodes) {
  test::ScopedWorkDir dir;
  EXPECT_EQ(CodeOf([] { TFile::OpenExisting("missing", TFile::Mode::Read); }), 2);
  EXPECT_EQ(CodeOf([] { TFile::Create("nodir/x"); }), 2);
  EXPECT_EQ(CodeOf([] { TFile::Create(std::string(300, 'a')); }), 3);

  test::WriteFileBytes("ro", "abc");
  ::chmod("ro", 0444);
  EXPECT_EQ(CodeOf([] { TFile::OpenExisting("ro", TFile::Mode::ReadWrite); }), 5);
  EXPECT_EQ(CodeOf([] { TFile::OpenAppend("ro"); }), 5);
  EXPECT_EQ(CodeOf([] { TFile::OpenExisting("ro", TFile::Mode::Read); }), 0);

  EXPECT_EQ(CodeOf([] {
              TFile f = TFile::OpenExisting("ro", TFile::Mode::Read);
              char buf[4];
              f.ReadExact(buf, 4);
            }),
            100);
}

TEST(TFile, AppendKeepsOldContentAndLockIsExclusive) {
  test::ScopedWorkDir dir;
  {
    TFile f = TFile::OpenAppend("log");
    f.Write("one");
    f.Close();
  }
  {
    TFile f = TFile::OpenAppend("log");
    f.Write("two");
    EXPECT_TRUE(f.TryLockExclusive());
    TFile g = TFile::OpenAppend("log");
    EXPECT_FALSE(g.TryLockExclusive());
  }
  EXPECT_EQ(test::ReadFileBytes("log"), "onetwo");
  EXPECT_EQ(FileSizeOf("log"), 6);
  EXPECT_EQ(FileSizeOf("none"), -1);
}

}  // namespace
}  // namespace tov
