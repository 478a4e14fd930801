#include "common/IpcDirectory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "platform/ByteCodec.h"
#include "platform/Threads.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

class IpcDirectoryTest : public ::testing::Test {
 protected:
  test::PrivateLinkDir dir_;
  TClientDirectory directory_{6};

  std::vector<int32_t> Ids() const {
    std::vector<int32_t> ids;
    for (const TClientEntry& e : directory_.Entries()) ids.push_back(e.ID);
    return ids;
  }
};

std::string Raised(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

TEST_F(IpcDirectoryTest, RegistersInOrderAndLooksUp) {
  EXPECT_EQ(directory_.Count(), 0);
  EXPECT_EQ(directory_.LastClientID(), 0);
  EXPECT_EQ(directory_.AddClient(11, "a"), 1);
  EXPECT_EQ(directory_.AddClient(22, "b"), 2);
  EXPECT_EQ(directory_.AddClient(33, "c"), 3);
  EXPECT_EQ(directory_.LastClientID(), 33);
  EXPECT_EQ(directory_.IndexOf(11), 1);
  EXPECT_EQ(directory_.IndexOf(44), -1);
  EXPECT_EQ(directory_.ClientName(22), "b");
  EXPECT_EQ(directory_.ClientName(44), "");
  EXPECT_EQ(directory_.GetClient(3).ID, 33);
  EXPECT_EQ(Raised([&] { directory_.GetClient(0); }), "Invalid client list index");
  EXPECT_EQ(Raised([&] { directory_.GetClient(4); }), "Invalid client list index");

  // Another opener sees the same registrations.
  TClientDirectory other(6);
  EXPECT_EQ(other.Count(), 3);
  EXPECT_EQ(other.ClientName(33), "c");
}

TEST_F(IpcDirectoryTest, NameIsCutTo58Characters) {
  std::string name(70, 'n');
  name[57] = 'L';
  directory_.AddClient(1, name);
  EXPECT_EQ(directory_.ClientName(1), name.substr(0, 58));
}

TEST_F(IpcDirectoryTest, RemovalKeepsTheOthersInOrder) {
  for (int32_t id : {11, 22, 33}) directory_.AddClient(id, "x");
  EXPECT_TRUE(directory_.RemoveClient(22));
  EXPECT_EQ(Ids(), (std::vector<int32_t>{11, 33}));
  EXPECT_EQ(directory_.IndexOf(33), 2);
  EXPECT_TRUE(directory_.RemoveClient(33));
  EXPECT_EQ(Ids(), (std::vector<int32_t>{11}));
  EXPECT_FALSE(directory_.RemoveClient(33));
}

TEST_F(IpcDirectoryTest, FullDirectoryAndTakenIdAreRefusedUnchanged) {
  for (int32_t id = 1; id <= 6; ++id) directory_.AddClient(id, "x");
  EXPECT_EQ(Raised([&] { directory_.AddClient(7, "x"); }), "Maximum of 6 clients allowed");
  directory_.RemoveClient(6);
  EXPECT_EQ(Raised([&] { directory_.AddClient(3, "x"); }), "Duplicate client ID");
  EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
}

TEST_F(IpcDirectoryTest, MutexNotHadInTimeChangesNothing) {
  directory_.AddClient(1, "x");
  std::atomic<bool> held{false};
  std::atomic<bool> done{false};
  std::thread holder([&] {
    TMutex mutex("DIRECTORY_MUTEX");
    ASSERT_TRUE(mutex.Get(kInfinite));
    held = true;
    while (!done) RealSleep(5);
    mutex.Release();
  });
  ASSERT_TRUE(test::WaitUntil([&] { return held.load(); }));
  EXPECT_EQ(directory_.AddClient(2, "y"), -1);
  EXPECT_FALSE(directory_.RemoveClient(1));
  done = true;
  holder.join();
  EXPECT_EQ(Ids(), (std::vector<int32_t>{1}));
}

TEST_F(IpcDirectoryTest, ClientsRegisteringAtOnceNeverOverfillNorDuplicate) {
  // Each thread opens its own directory, as a process would; the ids repeat
  // so that both checks are raced.
  for (int round = 0; round < 30; ++round) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) {
      threads.emplace_back([&, t] {
        TClientDirectory mine(6);
        while (!go) {
        }
        try {
          mine.AddClient(1 + t % 8, "x");
        } catch (const Exception&) {
        }
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    std::vector<int32_t> ids = Ids();
    ASSERT_LE(ids.size(), 6u) << round;
    ASSERT_EQ(std::set<int32_t>(ids.begin(), ids.end()).size(), ids.size()) << round;
    for (int32_t id : ids) directory_.RemoveClient(id);
  }
}

TEST_F(IpcDirectoryTest, DamagedCountNeverReadsOutsideTheDirectory) {
  TSharedMem raw("CLIENT_DIRECTORY", 6 * 63 + 8);
  for (int32_t damaged : {1000, -5}) {
    ByteWriter w(raw.Bytes().subspan(4, 4));
    w.PutI32(damaged);
    int32_t expected = damaged > 0 ? 6 : 0;
    EXPECT_EQ(directory_.Count(), expected);
    EXPECT_EQ(directory_.Entries().size(), static_cast<size_t>(expected));
    EXPECT_EQ(directory_.IndexOf(99), -1);
    EXPECT_EQ(Raised([&] { directory_.GetClient(7); }), "Invalid client list index");
  }
}

TEST_F(IpcDirectoryTest, OnlyOneMonitorCanClaimTheDirectory) {
  EXPECT_TRUE(directory_.ClaimMonitorID(5));
  EXPECT_FALSE(directory_.ClaimMonitorID(6));
  directory_.ReleaseMonitorID(6);  // not its registration: stays
  EXPECT_EQ(directory_.GetMonitorID(), 5);
  directory_.ReleaseMonitorID(5);
  EXPECT_EQ(directory_.GetMonitorID(), 0);
}

}  // namespace
}  // namespace tov
