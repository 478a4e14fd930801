#include "crawler/UrlQueue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "crawler/CrawlerEngine.h"
#include "platform/Files.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::MakePage;

class UrlQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogProc = log.Proc();
    ErrorLogProc = errors.Proc();
    InitUrlQueue(1500);
  }
  test::FreshEngineState engine_state;
  test::ScopedWorkDir dir;
  test::FastSleep fast;
  test::EngineLog log;
  test::EngineLog errors;
};

TEST(UrlInfoRecord, LayoutIs263BytesWithShortStrings) {
  UrlInfo info;
  info.Url = "http://a/";
  info.Dato = "d";
  info.DocID = "id1";
  info.PageType = "robottxt";
  info.Storage = "10.0.0.1";
  info.MakeThumbnale = true;
  std::array<uint8_t, UrlInfo::kEncodedSize> bytes{};
  EncodeUrlInfo(info, bytes);
  EXPECT_EQ(bytes[0], 9);
  EXPECT_EQ(bytes[202], 1);
  EXPECT_EQ(bytes[215], 3);
  EXPECT_EQ(bytes[228], 8);
  EXPECT_EQ(bytes[241], 8);
  EXPECT_EQ(bytes[262], 1);
  EXPECT_EQ(DecodeUrlInfo(bytes), info);

  bytes[0] = 255;  // damaged length: clamped to the 201 bytes of room
  EXPECT_EQ(DecodeUrlInfo(bytes).Url.size(), 201u);
}

TEST_F(UrlQueueTest, FullQueueMakesTheNextPutWaitForATake) {
  for (int i = 0; i < 1500; ++i) ASSERT_TRUE(PutUrl(MakePage("u" + std::to_string(i))));
  EXPECT_EQ(UrlQueueCount(), 1500);
  std::atomic<bool> done{false};
  std::thread producer([&] {
    EXPECT_TRUE(PutUrl(MakePage("last")));
    done = true;
  });
  RealSleep(100);  // many 10-second ticks of the fast sleep
  EXPECT_FALSE(done);
  UrlInfo got;
  ASSERT_TRUE(GetUrl(got));
  EXPECT_EQ(got.Url, "u0");
  producer.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(UrlQueueCount(), 1500);
}

TEST_F(UrlQueueTest, IndexesWrapToOneAndOrderHolds) {
  UrlInfo got;
  for (int i = 0; i < 1500; ++i) PutUrl(MakePage("a" + std::to_string(i)));
  for (int i = 0; i < 1500; ++i) {
    GetUrl(got);
    ASSERT_EQ(got.Url, "a" + std::to_string(i));
  }
  EXPECT_EQ(UrlQueue.Rear, 1500);
  PutUrl(MakePage("again"));
  EXPECT_EQ(UrlQueue.Rear, 1);
  EXPECT_EQ(UrlQueue.Items[1].Url, "again");
  GetUrl(got);
  EXPECT_EQ(got.Url, "again");
}

TEST_F(UrlQueueTest, EmptyTakeReturnsTheRecordPutLater) {
  std::atomic<bool> done{false};
  UrlInfo got;
  std::thread consumer([&] {
    GetUrl(got);
    done = true;
  });
  RealSleep(50);
  EXPECT_FALSE(done);
  PutUrl(MakePage("late"));
  consumer.join();
  EXPECT_EQ(got.Url, "late");
}

TEST_F(UrlQueueTest, ConcurrentPutAndTakeKeepOrderAndCountAcrossManyWraps) {
  InitUrlQueue(3);  // a tiny ring wraps thousands of times
  constexpr int kRecords = 5000;
  std::thread producer([] {
    for (int i = 0; i < kRecords; ++i) PutUrl(MakePage(std::to_string(i)));
  });
  UrlInfo got;
  for (int i = 0; i < kRecords; ++i) {
    GetUrl(got);
    ASSERT_EQ(got.Url, std::to_string(i));
  }
  producer.join();
  EXPECT_EQ(UrlQueueCount(), 0);
  EXPECT_TRUE(UrlQueueIsEmpty());
}

TEST_F(UrlQueueTest, SaveAndReloadThreeRecords) {
  UrlInfo odd = MakePage("http://example.org/a");
  odd.MakeThumbnale = true;
  odd.Dato = "";
  PutUrl(odd);
  PutUrl(MakePage("http://example.org/b", "robottxt"));
  PutUrl(MakePage("http://example.org/c"));
  SaveUrlQueue();
  EXPECT_EQ(FileSizeOf("SideFile.dat"), 3 * 263);
  EXPECT_TRUE(UrlQueueIsEmpty());

  InitUrlQueue(1500);
  LoadUrlQueue();
  EXPECT_FALSE(FileExists("SideFile.dat"));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"loaded url: http://example.org/a", "loaded url: http://example.org/b",
                                                   "loaded url: http://example.org/c"}));
  UrlInfo got;
  GetUrl(got);
  EXPECT_EQ(got, odd);
  GetUrl(got);
  EXPECT_EQ(got.PageType, "robottxt");
  GetUrl(got);
  EXPECT_EQ(got.Url, "http://example.org/c");
}

TEST_F(UrlQueueTest, EmptyQueueSavesAZeroByteFileThatLoadsNothing) {
  SaveUrlQueue();
  EXPECT_EQ(FileSizeOf("SideFile.dat"), 0);
  LoadUrlQueue();
  EXPECT_FALSE(FileExists("SideFile.dat"));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(UrlQueueIsEmpty());
}

TEST_F(UrlQueueTest, MissingSaveFileIsAnnounced) {
  LoadUrlQueue();
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Cant open SideFile.dat"});
  EXPECT_TRUE(UrlQueueIsEmpty());
}

TEST_F(UrlQueueTest, TrailingPartialRecordIsDroppedAndLogged) {
  PutUrl(MakePage("whole"));
  SaveUrlQueue();
  std::string bytes = test::ReadFileBytes("SideFile.dat");
  test::WriteFileBytes("SideFile.dat", bytes + bytes.substr(0, 100));
  LoadUrlQueue();
  EXPECT_EQ(UrlQueueCount(), 1);
  EXPECT_EQ(errors.CountPrefix("SideFile.dat ends in a partial record of 100 bytes"), 1);
  EXPECT_FALSE(FileExists("SideFile.dat"));
}

TEST_F(UrlQueueTest, MoreRecordsThanTheQueueHoldsDoNotHangTheStart) {
  std::array<uint8_t, UrlInfo::kEncodedSize> rec{};
  std::string file;
  for (int i = 0; i < 1502; ++i) {
    EncodeUrlInfo(MakePage("p" + std::to_string(i)), rec);
    file.append(reinterpret_cast<char*>(rec.data()), rec.size());
  }
  test::WriteFileBytes("SideFile.dat", file);
  auto before = test::FastSleep::RequestedMs();
  LoadUrlQueue();
  EXPECT_EQ(test::FastSleep::RequestedMs(), before);  // never waited for room
  EXPECT_EQ(UrlQueueCount(), 1500);
  EXPECT_EQ(errors.CountPrefix("SideFile.dat holds more records than the queue; 2 were dropped"), 1);
  EXPECT_FALSE(FileExists("SideFile.dat"));
}

// A disk that fills during the save (here the file-size limit) takes part of
// a record: the file keeps whole records only, and every page it cannot take
// is named in the error log. Room found again (the limit lifted at the second
// failure) puts the next records right after the last whole one.
TEST_F(UrlQueueTest, ASaveOnAFullDiskKeepsWholeRecordsAndNamesEveryLostPage) {
  for (int i = 0; i < 6; ++i) PutUrl(MakePage("http://full/" + std::to_string(i)));
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit limited = old;
  limited.rlim_cur = static_cast<rlim_t>(2 * UrlInfo::kEncodedSize + 100);
  ErrorLogProc = [&](const std::string& line) {
    errors.Add(line);
    if (errors.Lines().size() == 2) ::setrlimit(RLIMIT_FSIZE, &old);
  };
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  SaveUrlQueue();
  ::setrlimit(RLIMIT_FSIZE, &old);

  EXPECT_TRUE(UrlQueueIsEmpty());
  ASSERT_EQ(errors.Lines().size(), 2u);
  EXPECT_EQ(errors.CountPrefix("SideFile.dat cannot take http://full/2: "), 1) << errors.Lines()[0];
  EXPECT_EQ(errors.CountPrefix("SideFile.dat cannot take http://full/3: "), 1) << errors.Lines()[1];
  EXPECT_NE(errors.Lines()[0].find("; the page is lost"), std::string::npos);
  EXPECT_EQ(FileSizeOf("SideFile.dat"), 4 * static_cast<int64_t>(UrlInfo::kEncodedSize));
  LoadUrlQueue();
  std::vector<std::string> loaded;
  UrlInfo got;
  while (TryGetUrl(got)) loaded.push_back(got.Url.str());
  EXPECT_EQ(loaded, (std::vector<std::string>{"http://full/0", "http://full/1", "http://full/4", "http://full/5"}));
}

TEST_F(UrlQueueTest, SaveEndsWhileADownloadThreadCompetesForTheLastRecords) {
  for (int i = 0; i < 200; ++i) PutUrl(MakePage("s" + std::to_string(i)));
  std::atomic<int> taken{0};
  std::atomic<bool> stop{false};
  std::thread competitor([&] {
    UrlInfo got;
    while (!stop) {
      if (UrlQueueIsEmpty()) continue;
      GetUrl(got);  // may be left waiting on an empty queue: released below
      ++taken;
    }
  });
  SaveUrlQueue();
  EXPECT_TRUE(UrlQueueIsEmpty());
  int64_t saved = FileSizeOf("SideFile.dat") / 263;
  stop = true;
  PutUrl(MakePage("release"));
  competitor.join();
  // Every record is either saved or taken, once; "release" is taken or left.
  EXPECT_EQ(saved + taken + UrlQueueCount(), 201);
}

// A taker that waits on the empty queue holds the get lock through its
// polls; a save that met one record more a moment earlier must not wait
// behind it for a record that may never come.
TEST_F(UrlQueueTest, TakingWithoutWaitGivesUpWhileATakerWaitsOnTheEmptyQueue) {
  std::atomic<bool> waiting{false};
  std::thread taker([&] {
    UrlInfo got;
    waiting = true;
    GetUrl(got);
  });
  ASSERT_TRUE(test::WaitUntil([&] { return waiting.load(); }));
  RealSleep(20);  // the taker is in its polls, holding the lock
  UrlInfo info;
  EXPECT_FALSE(TryGetUrl(info));
  SaveUrlQueue();
  EXPECT_EQ(FileSizeOf("SideFile.dat"), 0);
  PutUrl(MakePage("release"));
  taker.join();
}

// A download thread that waits on the empty queue when the shut-down begins
// must not take a page that arrives afterwards: the shut-down no longer waits
// for it, so the page would be neither queued nor saved.
TEST_F(UrlQueueTest, AfterTheStopATakerTakesNothingAndThePageStaysForTheSave) {
  std::atomic<int> result{-1};
  std::thread taker([&] {
    UrlInfo got;
    result = GetUrl(got) ? 1 : 0;
  });
  RealSleep(20);  // in its polls
  StopCrawling = true;
  PutUrl(MakePage("arrived during the shut-down"));
  taker.join();
  EXPECT_EQ(result, 0);
  UrlInfo info;
  EXPECT_FALSE(GetUrl(info));  // nor does one that comes later
  SaveUrlQueue();
  EXPECT_EQ(FileSizeOf("SideFile.dat"), static_cast<int64_t>(UrlInfo::kEncodedSize));
}

// Only a regular file of the save file's name is read or written: a FIFO
// would hold up the start (and take the records of the save into a pipe), a
// symbolic link would be followed to a file outside. Each is left as it is.
TEST_F(UrlQueueTest, ASaveFileNameThatIsNoRegularFileIsLeftAlone) {
  std::array<uint8_t, UrlInfo::kEncodedSize> rec{};
  EncodeUrlInfo(MakePage("http://elsewhere/"), rec);
  const std::string record(reinterpret_cast<const char*>(rec.data()), rec.size());
  struct Case {
    const char* kind;
    bool (*make)();
    bool save_refused;  // a directory fails the save by itself, as before
  };
  const Case cases[] = {
      {"a FIFO", [] { return ::mkfifo("SideFile.dat", 0600) == 0; }, true},
      {"a directory", [] { return ::mkdir("SideFile.dat", 0700) == 0; }, false},
      {"a symbolic link", [] { return ::symlink("target.dat", "SideFile.dat") == 0; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    test::WriteFileBytes("target.dat", record);
    ASSERT_TRUE(c.make());
    test::EngineLog seen;
    ErrorLogProc = seen.Proc();

    std::atomic<bool> loaded{false};
    std::thread start([&] {
      LoadUrlQueue();
      loaded = true;
    });
    if (!test::WaitUntil([&] { return loaded.load(); })) {
      ADD_FAILURE() << "the load waits on the FIFO";
      ::close(::open("SideFile.dat", O_WRONLY | O_NONBLOCK));  // lets it go
    }
    start.join();
    const std::string line = std::string("SideFile.dat is ") + c.kind + ", not a regular file; it is left alone";
    EXPECT_EQ(seen.Lines(), std::vector<std::string>{line});
    EXPECT_TRUE(UrlQueueIsEmpty());

    PutUrl(MakePage("http://queued/"));
    bool refused = false;
    try {
      SaveUrlQueue();
    } catch (const EInOutError&) {
      refused = true;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(seen.CountPrefix(line), c.save_refused ? 2 : 1);
    struct stat st {};
    ASSERT_EQ(::lstat("SideFile.dat", &st), 0);
    EXPECT_FALSE(S_ISREG(st.st_mode));
    EXPECT_EQ(test::ReadFileBytes("target.dat"), record);

    ErrorLogProc = errors.Proc();
    std::filesystem::remove("SideFile.dat");
    InitUrlQueue(1500);
  }
}

}  // namespace
}  // namespace tov
