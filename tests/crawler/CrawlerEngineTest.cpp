#include "crawler/CrawlerEngine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <set>
#include <thread>

#include "crawler/CrawlerThread.h"
#include "crawler/UrlQueue.h"
#include "platform/Files.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::MakePage;
using test::WaitUntil;

// The download threads here fetch pages of a host that does not resolve in
// the test's network namespace, so each page fails at once and is reported.
class EngineTest : public ::testing::Test {
 protected:
  void Start() {
    ::mkdir("sqtemp", 0755);  // where the threads queue their pages
    test::StartTestEngine(log, errors, &heartbeats, &pages);
  }
  void TearDown() override { EXPECT_TRUE(test::StopTestEngine(log)); }
  // Feeds pages until pred holds.
  template <typename Pred>
  bool FeedUntil(Pred pred) {
    return WaitUntil([&] {
      if (pred()) return true;
      if (UrlQueueCount() < 5) PutUrl(MakePage("p"));
      return false;
    });
  }
  std::vector<std::string> CreationLines() const {
    std::vector<std::string> out;
    for (const auto& l : log.Lines()) {
      if (l.rfind("Creating thread nr: ", 0) == 0) out.push_back(l.substr(0, l.find(" as id: ")));
    }
    return out;
  }

  test::FreshEngineState engine_state;
  test::ScopedWorkDir dir;
  test::FastSleep fast;
  test::EngineLog log;
  test::EngineLog errors;
  std::atomic<int> heartbeats{0};
  std::atomic<int> pages{0};
};

TEST_F(EngineTest, SetCrawlersStartsTheMissingThreadsInOrder) {
  Start();
  SetCrawlers(5);
  EXPECT_EQ(CreationLines(),
            (std::vector<std::string>{"Creating thread nr: 1 of 5", "Creating thread nr: 2 of 5",
                                      "Creating thread nr: 3 of 5", "Creating thread nr: 4 of 5",
                                      "Creating thread nr: 5 of 5"}));
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 5 && ThreadsBeingCreated == 0; }));
  // A thread logs its start just after it is counted.
  for (int k = 1; k <= 5; ++k) {
    EXPECT_TRUE(WaitUntil([&] { return log.Contains(std::to_string(k) + " started"); })) << k;
  }
  std::set<uint32_t> ids(CrawlerThreads.begin() + 1, CrawlerThreads.begin() + 6);
  EXPECT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids.count(0), 0u);
}

TEST_F(EngineTest, RaisingFromThreeToEightStartsFourToEight) {
  Start();
  SetCrawlers(3);
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 3 && ThreadsBeingCreated == 0; }));
  SetCrawlers(8);
  auto lines = CreationLines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[3], "Creating thread nr: 4 of 8");
  EXPECT_EQ(lines[7], "Creating thread nr: 8 of 8");
  EXPECT_TRUE(WaitUntil([] { return RunningThreadCount() == 8; }));
}

TEST_F(EngineTest, RaiseWhileAThreadHasNotBegunOnlySetsTheWantedNumber) {
  Start();
  ThreadsBeingCreated = 1;  // a thread of an earlier call that has not begun to run
  SetCrawlers(8);
  EXPECT_EQ(WantedThreads, 8);
  EXPECT_TRUE(CreationLines().empty());
  ThreadsBeingCreated = 0;
}

TEST_F(EngineTest, LoweringLetsThreadsLeaveAfterTheirPage) {
  Start();
  SetCrawlers(5);
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 5; }));
  // At work first: a thread lowered before it takes its first page leaves
  // without one, and a slow start-up (a sanitizer's build) can last that long.
  ASSERT_TRUE(FeedUntil([&] { return pages.load() > 0; }));
  SetCrawlers(2);
  EXPECT_EQ(CreationLines().size(), 5u);  // lowering starts nothing
  ASSERT_TRUE(FeedUntil([] { return RunningThreadCount() <= 2; }));
  EXPECT_GE(log.CountPrefix("prepering to exiting"), 3);
  EXPECT_GE(log.CountPrefix("Thread "), 3);

  SetCrawlers(0);
  ASSERT_TRUE(FeedUntil([] { return RunningThreadCount() == 0; }));
  EXPECT_EQ(log.CountPrefix("prepering to exiting"), 5);
}

TEST_F(EngineTest, AboveOneHundredIsCappedAtOneHundred) {
  Start();
  SetCrawlers(150);
  EXPECT_EQ(WantedThreads, 100);
  EXPECT_EQ(CreationLines().size(), 100u);
  EXPECT_EQ(CreationLines().back(), "Creating thread nr: 100 of 100");
  EXPECT_TRUE(WaitUntil([] { return RunningThreadCount() == 100; }, 20000));
}

// Makes download threads, failing while failures are left (as a system out
// of threads would).
std::atomic<int> g_failures_left{0};
TCrawlerThread* FailingThreadMaker() {
  if (g_failures_left > 0) {
    --g_failures_left;
    throw std::runtime_error("cannot create thread");
  }
  return new TCrawlerThread;
}

TEST_F(EngineTest, AThreadThatCannotBeMadeIsLoggedOnceAndALaterCallStartsIt) {
  Start();
  SetCrawlerThreadMaker(&FailingThreadMaker);
  g_failures_left = 3;
  for (int tick = 0; tick < 3; ++tick) {
    SetCrawlers(2);  // the monitor resends the count every tick
    EXPECT_EQ(ThreadsBeingCreated, 0) << tick;
  }
  EXPECT_TRUE(CreationLines().empty());
  EXPECT_EQ(errors.Lines(), std::vector<std::string>{"Cant create thread nr: 1 of 2: Exception: cannot create "
                                                     "thread; the next thread count tries again"});
  EXPECT_EQ(WantedThreads, 2);

  SetCrawlers(2);
  EXPECT_EQ(CreationLines(), (std::vector<std::string>{"Creating thread nr: 1 of 2", "Creating thread nr: 2 of 2"}));
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 2 && ThreadsBeingCreated == 0; }));

  // A failure after threads could be made again is logged again, and the
  // raise goes on from the threads that run.
  g_failures_left = 1;
  SetCrawlers(4);
  EXPECT_EQ(errors.CountPrefix("Cant create thread nr: 3 of 4: "), 1);
  ASSERT_TRUE(WaitUntil([] { return ThreadsBeingCreated == 0; }));
  SetCrawlers(4);
  auto lines = CreationLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "Creating thread nr: 3 of 4");
  EXPECT_EQ(lines[3], "Creating thread nr: 4 of 4");
  EXPECT_TRUE(WaitUntil([] { return RunningThreadCount() == 4; }));
  SetCrawlerThreadMaker(nullptr);
}

TEST_F(EngineTest, NothingChangesOnceStopping) {
  Start();
  StopCrawling = true;
  SetCrawlers(4);
  EXPECT_EQ(WantedThreads, 0);
  EXPECT_TRUE(CreationLines().empty());
}

TEST_F(EngineTest, RaisesAndLowersFromManyThreadsLoseNoCount) {
  Start();
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([t] {
      for (int i = 0; i < 25; ++i) SetCrawlers((i + t) % 7);
    });
  }
  for (auto& c : callers) c.join();
  SetCrawlers(6);
  // Whatever interleaving came before, a later raise must start threads again.
  ASSERT_TRUE(FeedUntil([] {
    SetCrawlers(6);
    return RunningThreadCount() == 6 && ThreadsBeingCreated == 0;
  }));
}

TEST_F(EngineTest, HeartbeatWithNoneOneAndTwoIdleThreads) {
  Start();
  ASSERT_TRUE(WaitUntil([&] { return heartbeats >= 3; }));  // none running: every 3 s

  SetCrawlers(1);
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 1; }));
  int at_one = heartbeats;
  ASSERT_TRUE(WaitUntil([&] { return heartbeats >= at_one + 3; }));  // one running: still

  // Two running that wait for pages: still, or the monitor would take the
  // crawler for hung.
  SetCrawlers(2);
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 2; }));
  int at_two = heartbeats;
  ASSERT_TRUE(WaitUntil([&] { return heartbeats >= at_two + 3; }));
}

TEST(Heartbeat, WithTwoOrMoreThreadsOnlyATurnWithoutPageReportsBeats) {
  struct Case {
    int32_t running;
    uint32_t before, now;
    bool due;
  };
  const Case cases[] = {
      {0, 5, 5, true}, {1, 5, 5, true}, {1, 5, 9, true},  // fewer than two: every turn
      {2, 5, 6, false}, {100, 5, 900, false},             // pages reported since the last turn
      {2, 5, 5, true},  {100, 7, 7, true},                // silent turn
      {3, 0xFFFFFFFF, 0, false},                          // the count wrapped: pages all the same
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HeartbeatDue(c.running, c.before, c.now), c.due) << c.running << " " << c.before << " " << c.now;
  }
}

TEST_F(EngineTest, VerboseLinesAppearOnlyWhenSwitchedOn) {
  Start();
  LogVerbose("hidden");
  EXPECT_FALSE(log.Contains("hidden"));
  SetVerboseLog(true);
  LogVerbose("shown as it is");
  EXPECT_TRUE(log.Contains("shown as it is"));
}

TEST_F(EngineTest, StartLoadsTheSavedQueueAndResetsState) {
  InitUrlQueue(1500);
  for (int i = 0; i < 4; ++i) PutUrl(MakePage("saved" + std::to_string(i)));
  SaveUrlQueue();
  SideFilePending = 77;
  Start();
  EXPECT_EQ(QueuedUrlCount(), 4);
  EXPECT_FALSE(FileExists("SideFile.dat"));
  EXPECT_EQ(PendingSideFileCount(), 0);
  EXPECT_FALSE(FetchEnabled);
  EXPECT_EQ(AppVersion, "0.82");
  EXPECT_EQ(WorkDir, dir.Path());
  EXPECT_NE(UserAgent.find("/0.82 ( "), std::string::npos);
  EXPECT_EQ(UserAgent.back(), ')');
  EnableFetching();
  EXPECT_TRUE(FetchEnabled);
}

TEST_F(EngineTest, UserInfoReplacedWhileOthersRead) {
  Start();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      TUserInfo u = CurrentUserInfo();
      // A reader always sees one whole set, never a mix of two.
      if (!u.UserName.empty()) {
        ASSERT_EQ(u.UserName.substr(4), u.TeamName.substr(4));
      }
    }
  });
  for (int i = 0; i < 2000; ++i) {
    std::string n = std::to_string(i);
    SetUserInfo("user" + n, "pw", "team" + n);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(CurrentUserInfo().UserName, "user1999");
}

}  // namespace
}  // namespace tov
