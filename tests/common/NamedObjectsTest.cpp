#include "platform/NamedObjects.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/Files.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

class NamedObjectsTest : public ::testing::Test {
 protected:
  test::PrivateLinkDir dir_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
  return st.st_mode & 0777;
}

TEST_F(NamedObjectsTest, DirectoryIsMadePrivateAndAStrangeOneIsRefused) {
  NamedMapping made("A", 16);
  EXPECT_EQ(ModeOf(dir_.IpcDir()), 0700u);

  // One that others can enter is closed to them.
  ASSERT_EQ(::chmod(dir_.IpcDir().c_str(), 0755), 0);
  NamedMapping again("A", 16);
  EXPECT_EQ(ModeOf(dir_.IpcDir()), 0700u);

  // A symbolic link in its place is not followed.
  std::string link = dir_.IpcDir() + "-link";
  ASSERT_EQ(::symlink(dir_.IpcDir().c_str(), link.c_str()), 0);
  ::setenv("TOV_IPC_DIR", link.c_str(), 1);
  EXPECT_THROW(NamedMapping("A", 16), ENamedObjectError);
}

TEST_F(NamedObjectsTest, WithoutXdgRuntimeDirTheFolderIsInTheUsersHome) {
  const std::string root = GetCurrentDir();
  test::ScopedEnv not_moved("TOV_IPC_DIR", nullptr);
  {
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", (root + "/run").c_str());
    EXPECT_EQ(NamedObjectDirectory(), root + "/run/tovrane");
  }
  test::ScopedEnv no_runtime("XDG_RUNTIME_DIR", nullptr);
  const std::string home = root + "/home";
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  test::ScopedEnv home_env("HOME", home.c_str());
  EXPECT_EQ(NamedObjectDirectory(), home + "/.tovrane-link");
  NamedMapping made("A", 16);
  EXPECT_EQ(ModeOf(home + "/.tovrane-link"), 0700u);
  EXPECT_TRUE(FileExists(home + "/.tovrane-link/map.A"));

  // Without HOME, the home the password database gives.
  test::ScopedEnv no_home("HOME", nullptr);
  const passwd* user = ::getpwuid(::geteuid());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(NamedObjectDirectory(), PathJoin(user->pw_dir, ".tovrane-link"));
}

// Whether moved by TOV_IPC_DIR or in the home, a folder that is not the
// user's alone is left as it is, and the error names it and the variable.
TEST_F(NamedObjectsTest, AFolderThatIsNotTheUsersAloneIsRefusedAndNamed) {
  test::ForEachUnusableLinkFolder(GetCurrentDir(), [](const std::string& path, const std::string& what) {
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    try {
      NamedMapping refused("A", 16);
      ADD_FAILURE() << "opened";
    } catch (const ENamedObjectDirectoryError& e) {
      EXPECT_EQ(e.Message(), "Link folder " + path + " " + what + "; set TOV_IPC_DIR to a folder of your own to move it");
    }
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_FALSE(FileExists(path + "/map.A"));
  });
}

TEST_F(NamedObjectsTest, NamesThatAreNotPlainFileNamesAreRefused) {
  for (const char* name : {"", ".", "..", "a/b", "../A"}) {
    EXPECT_THROW(NamedMapping(name, 16), ENamedObjectError) << name;
  }
}

TEST_F(NamedObjectsTest, MappingLivesWhileHeldAndIsFreshAfterTheLastHolder) {
  auto first = std::make_unique<NamedMapping>("BLOCK", 64);
  EXPECT_TRUE(first->Fresh());
  std::memcpy(first->Data(), "kept", 4);
  {
    NamedMapping second("BLOCK", 64);
    EXPECT_FALSE(second.Fresh());
    EXPECT_EQ(std::memcmp(second.Data(), "kept", 4), 0);
  }
  first.reset();
  NamedMapping fresh("BLOCK", 64);
  EXPECT_TRUE(fresh.Fresh());
  for (size_t i = 0; i < 64; ++i) ASSERT_EQ(fresh.Data()[i], 0) << i;
}

TEST_F(NamedObjectsTest, MappingLargerThanTheHeldOneFails) {
  NamedMapping held("SMALL", 16);
  try {
    NamedMapping larger("SMALL", 32);
    FAIL() << "opened";
  } catch (const ENamedObjectError& e) {
    EXPECT_EQ(e.Code(), EINVAL);
  }
}

TEST_F(NamedObjectsTest, EventResetModes) {
  NamedEvent automatic("AUTO", false);
  automatic.Set();
  EXPECT_TRUE(automatic.IsSet());
  EXPECT_EQ(automatic.Wait(0), kWaitObject0);
  EXPECT_FALSE(automatic.IsSet());
  EXPECT_EQ(automatic.Wait(0), kWaitTimeout);  // the first wait reset it
  EXPECT_EQ(automatic.Wait(20), kWaitTimeout);

  NamedEvent manual("MANUAL", true);
  manual.Set();
  EXPECT_EQ(manual.Wait(0), kWaitObject0);
  EXPECT_EQ(manual.Wait(0), kWaitObject0);
  manual.Reset();
  EXPECT_EQ(manual.Wait(0), kWaitTimeout);

  // An opener of an existing event gets its creator's mode.
  NamedEvent opened("MANUAL", false);
  EXPECT_TRUE(opened.ManualReset());
  opened.Set();
  EXPECT_EQ(manual.Wait(0), kWaitObject0);
  EXPECT_EQ(opened.Wait(0), kWaitObject0);
}

TEST_F(NamedObjectsTest, AutoResetEventLetsOneWaiterThroughPerSet) {
  NamedEvent event("ONE", false);
  std::atomic<int> through{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      NamedEvent mine("ONE", false);
      if (mine.Wait(kInfinite, &stop) == kWaitObject0) ++through;
    });
  }
  event.Set();
  ASSERT_TRUE(test::WaitUntil([&] { return through.load() == 1; }));
  event.Set();
  ASSERT_TRUE(test::WaitUntil([&] { return through.load() == 2; }));
  stop = true;
  event.WakeWaiters();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(through.load(), 2);
}

TEST_F(NamedObjectsTest, CancelFlagEndsAnEndlessWaitButAPendingSignalComesFirst) {
  NamedEvent event("CANCEL", false);
  std::atomic<bool> cancel{false};
  std::atomic<int> result{-2};
  std::thread waiter([&] { result = event.Wait(kInfinite, &cancel); });
  cancel = true;
  event.WakeWaiters();
  waiter.join();
  EXPECT_EQ(result.load(), kWaitInterrupted);

  event.Set();
  EXPECT_EQ(event.Wait(kInfinite, &cancel), kWaitObject0);
  EXPECT_EQ(event.Wait(kInfinite, &cancel), kWaitInterrupted);
}

TEST_F(NamedObjectsTest, MutexOwnershipTimeoutAndAbandonment) {
  NamedMutex mutex("LOCK");
  ASSERT_EQ(mutex.Wait(0), kWaitObject0);
  EXPECT_EQ(mutex.Wait(0), kWaitObject0);  // recursive for its owner
  std::thread other([] {
    NamedMutex mine("LOCK");
    EXPECT_EQ(mine.Wait(30), kWaitTimeout);
#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer counts any unlock by another thread as misuse before
    // the mutex refuses it, so its builds leave this step out.
    EXPECT_FALSE(mine.Release());  // not the owner
#endif
  });
  other.join();
  EXPECT_TRUE(mutex.Release());
  EXPECT_TRUE(mutex.Release());

  // An owner that ends while holding it leaves it abandoned to the next waiter.
  std::thread dying([&] { ASSERT_EQ(mutex.Wait(kInfinite), kWaitObject0); });
  dying.join();
  EXPECT_EQ(mutex.Wait(1000), kWaitAbandoned);
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(mutex.Wait(0), kWaitObject0);  // usable as before
  EXPECT_TRUE(mutex.Release());
}

}  // namespace
}  // namespace tov
