#include "platform/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/Streams.h"
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

// Files in folders that others may plant things in: no link is followed,
// no FIFO waited on, no name in use taken over.
TEST(TFile, RegularFilesOnlyAndNoNameInUseTaken) {
  test::ScopedWorkDir dir;
  test::WriteFileBytes("plain", "abc");
  test::WriteFileBytes("target", "keep");
  ASSERT_EQ(::symlink("target", "link"), 0);
  ASSERT_EQ(::symlink("nowhere", "dangling"), 0);
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  ASSERT_EQ(::mkdir("folder", 0700), 0);
  for (auto mode : {TFile::Mode::Read, TFile::Mode::ReadWrite}) {
    for (const char* name : {"link", "dangling", "fifo", "folder", "/dev/null"}) {
      EXPECT_EQ(CodeOf([&] { TFile::OpenRegular(name, mode); }), 5) << name;
    }
    EXPECT_EQ(CodeOf([&] { TFile::OpenRegular("missing", mode); }), 2);
  }
  {
    TFile f = TFile::OpenRegular("plain", TFile::Mode::ReadWrite);
    char buf[3];
    f.ReadExact(buf, 3);  // blocking again: a short read would raise
    f.Truncate(1);
  }
  EXPECT_EQ(test::ReadFileBytes("plain"), "a");
  for (const char* name : {"link", "dangling", "fifo", "folder", "/dev/null"}) {
    EXPECT_EQ(CodeOf([&] { TFile::OpenAppendRegular(name); }), 5) << name;
  }
  EXPECT_EQ(test::ReadFileBytes("target"), "keep");
  EXPECT_FALSE(NameInUse("nowhere"));
  TFile::OpenAppendRegular("plain").Write("bc");
  TFile::OpenAppendRegular("appended").Write("new");
  EXPECT_EQ(test::ReadFileBytes("plain"), "abc");
  EXPECT_EQ(test::ReadFileBytes("appended"), "new");
  ::chmod("plain", 0444);
  EXPECT_EQ(CodeOf([] { TFile::OpenRegular("plain", TFile::Mode::ReadWrite); }), 5);
  EXPECT_EQ(CodeOf([] { TFile::OpenAppendRegular("plain"); }), 5);

  for (const char* name : {"plain", "dangling", "folder"}) {
    EXPECT_NE(CodeOf([&] { TFile::CreateNew(name); }), 0) << name;
  }
  EXPECT_FALSE(FileExists("nowhere"));
  TFile::CreateNew("fresh").Write("new");
  EXPECT_EQ(test::ReadFileBytes("fresh"), "new");

  EXPECT_FALSE(RenameNoReplace("fresh", "dangling"));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_FALSE(RenameNoReplace("fresh", "folder"));
  EXPECT_TRUE(RenameNoReplace("link", "link2"));
  EXPECT_EQ(test::ReadFileBytes("link2"), "keep");
  EXPECT_EQ(test::ReadFileBytes("fresh"), "new");
}

TEST(TFile, NameCountAndIsFileAtFollowTheNames) {
  test::ScopedWorkDir dir;
  TFile f = TFile::OpenAppendRegular("named");
  EXPECT_EQ(f.NameCount(), 1u);
  EXPECT_TRUE(f.IsFileAt("named"));
  ASSERT_EQ(::link("named", "second"), 0);
  EXPECT_EQ(f.NameCount(), 2u);
  EXPECT_TRUE(f.IsFileAt("second"));
  ASSERT_EQ(::symlink("named", "link"), 0);
  EXPECT_FALSE(f.IsFileAt("link"));
  test::WriteFileBytes("other", "x");
  ASSERT_TRUE(RenameFile("other", "named"));
  EXPECT_FALSE(f.IsFileAt("named"));
  ASSERT_TRUE(DeleteFile("second"));
  EXPECT_EQ(f.NameCount(), 0u);
  EXPECT_FALSE(f.IsFileAt("second"));
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

// Every way the programs create a file, under umasks that would leave it
// open to others or take the user's own bits.
TEST(TFile, ANewFileIsTheUsersAloneWhateverTheUmaskAndAnOldOneKeepsItsMode) {
  struct Creator {
    const char* name;
    std::function<void(const std::string&)> create;
  };
  const Creator creators[] = {
      {"Create", [](const std::string& p) { TFile::Create(p).Write("x"); }},
      {"OpenAppend", [](const std::string& p) { TFile::OpenAppend(p).Write("x"); }},
      {"ReplaceFileContents", [](const std::string& p) { ReplaceFileContents(p, "x", 1); }},
      {"TFileStream fmCreate", [](const std::string& p) { TFileStream(p, fmCreate).Write("x", 1); }},
  };
  for (unsigned mask : {0000u, 0022u, 0277u}) {
    for (const Creator& c : creators) {
      SCOPED_TRACE(std::string(c.name) + ", umask " + std::to_string(mask));
      test::ScopedWorkDir dir;
      test::ScopedUmask umask(mask);
      c.create("new");
      EXPECT_EQ(test::PermissionsOf("new"), 0600);
      EXPECT_EQ(test::ReadFileBytes("new"), "x");

      test::WriteFileBytes("old", "");
      ASSERT_EQ(::chmod("old", 0644), 0);
      c.create("old");
      EXPECT_EQ(test::PermissionsOf("old"), 0644);

      // A link to a file not there yet: what gets the bytes is no more open
      // than 0600.
      ASSERT_EQ(::symlink("target", "link"), 0);
      c.create("link");
      EXPECT_EQ(test::PermissionsOf("link") & ~0600, 0);
      EXPECT_EQ(test::ReadFileBytes("link"), "x");
    }
    // A name in use is refused here, so only the new file.
    test::ScopedWorkDir dir;
    test::ScopedUmask umask(mask);
    TFile::CreateNew("new").Write("x");
    EXPECT_EQ(test::PermissionsOf("new"), 0600) << "CreateNew, umask " << mask;
    TFile::OpenAppendRegular("appended").Write("x");
    EXPECT_EQ(test::PermissionsOf("appended"), 0600) << "OpenAppendRegular, umask " << mask;
  }
}

// A process's /proc entry fails its reads once the process has ended, at any
// moment: what the reads give is returned, and nothing raises. A folder's
// reads fail the same way, every time.
TEST(ReadSystemFile, GivesWhatCanBeReadAndNeverRaises) {
  test::ScopedWorkDir dir;
  const std::string big(10000, 'b');  // more than one read
  test::WriteFileBytes("big", big);
  ::mkdir("folder", 0700);
  const std::pair<const char*, std::string> cases[] = {{"big", big}, {"none", ""}, {"folder", ""}};
  for (const auto& [path, want] : cases) {
    std::string got;
    EXPECT_NO_THROW(got = ReadSystemFile(path)) << path;
    EXPECT_EQ(got, want) << path;
  }
  EXPECT_EQ(ReadSystemFile("/proc/self/comm"), "platform_tests\n");
}

}  // namespace
}  // namespace tov
