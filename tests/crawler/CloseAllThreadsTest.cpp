// The orderly shut-down, with the engine's globals set by hand (on a fresh
// engine state for each case) and the test's main thread standing in for the
// window thread.
#include "crawler/CloseAllThreads.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "crawler/CrawlerEngine.h"
#include "crawler/UrlQueue.h"
#include "crawler/UrlServerExchange.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::MakePage;
using test::WaitUntil;

std::atomic<int> g_terminated{0};
std::atomic<bool> g_terminate_on_main{false};

class CloseAllThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_terminated = 0;
    g_terminate_on_main = false;
    LogProc = log.Proc();
    ErrorLogProc = errors.Proc();
    ApplicationTerminateProc = [] {
      g_terminate_on_main = IsMainThread();
      ++g_terminated;
    };
    WantedThreads = 5;
    InitUrlQueue(1500);
  }
  // The closing thread ends on its own once its last line is logged; the
  // engine's state is reset only after that.
  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] {
      CheckSynchronize(0);
      return CloseAllThreadsThread.load() == nullptr;
    }));
  }
  // Plays the window thread until the closing thread has logged its last line.
  bool RunToEnd() {
    return WaitUntil(
        [&] {
          CheckSynchronize(0);
          return log.Contains("ApplicationTerminate end");
        },
        20000);
  }
  // The closing thread's lines: StopCrawler's own last line may fall among them.
  std::vector<std::string> SequenceLines() const {
    std::vector<std::string> lines = log.Lines();
    std::erase(lines, "end CloseAllThreads");
    return lines;
  }
  static std::vector<std::string> Repeat(const std::string& head, const std::string& tail) {
    std::vector<std::string> lines;
    for (int i = 0; i < CloseWaitSeconds; ++i) lines.push_back(head + std::to_string(i) + tail);
    return lines;
  }

  test::FreshEngineState engine_state;
  test::ScopedWorkDir dir;
  test::FastSleep fast;
  test::EngineLog log;
  test::EngineLog errors;
};

std::vector<UrlInfo> ReadSideFile() {
  const std::string bytes = test::ReadFileBytes("SideFile.dat");
  std::vector<UrlInfo> records;
  for (size_t at = 0; at + UrlInfo::kEncodedSize <= bytes.size(); at += UrlInfo::kEncodedSize) {
    records.push_back(DecodeUrlInfo(std::span<const uint8_t, UrlInfo::kEncodedSize>(
        reinterpret_cast<const uint8_t*>(bytes.data() + at), UrlInfo::kEncodedSize)));
  }
  EXPECT_EQ(bytes.size() % UrlInfo::kEncodedSize, 0u);
  return records;
}

TEST_F(CloseAllThreadsTest, WithNothingRunningSavesTheQueueAtOnceAndEndsOnTheWindowThread) {
  const std::vector<UrlInfo> pages{MakePage("http://a/1"), MakePage("http://a/2", "robottxt"),
                                   MakePage("http://a/3")};
  for (const UrlInfo& p : pages) PutUrl(p);

  StopCrawler();
  EXPECT_TRUE(StopCrawling);
  ASSERT_TRUE(RunToEnd());

  EXPECT_EQ(SequenceLines(), (std::vector<std::string>{
                                 "Closeing crawler threads", "start CloseAllThreads", "CloseAllThreads Execute",
                                 "venter p\xE5 at tr\xE5"
                                 "dene skal d\xF8",
                                 "Al thread closed niceely", "nilling", "seting treaths number",
                                 "CrawlerThreadClose finish", "Saving queues", "caling ApplicationTerminate",
                                 "ApplicationTerminate end"}));
  EXPECT_TRUE(log.Contains("end CloseAllThreads"));
  EXPECT_TRUE(errors.Lines().empty());
  EXPECT_EQ(WantedThreads, 0);
  EXPECT_EQ(g_terminated, 1);
  EXPECT_TRUE(g_terminate_on_main);
  EXPECT_EQ(ReadSideFile(), pages);
  EXPECT_EQ(UrlQueueCount(), 0);
}

// What never ends within the limits: exactly 20 waiting lines (0 to 19), then
// the shut-down goes on; a send or exchange still running is named in the error log.
struct StuckCase {
  const char* name;
  void (*stick)();
  const char* head;
  const char* tail;
  std::vector<std::string> errors;
};

void PrintTo(const StuckCase& c, std::ostream* os) { *os << c.name; }

class StuckWaitTest : public CloseAllThreadsTest, public ::testing::WithParamInterface<StuckCase> {};

TEST_P(StuckWaitTest, WaitsTwentyTimesThenGoesOn) {
  const StuckCase& c = GetParam();
  PutUrl(MakePage("http://queued/"));
  c.stick();
  StopCrawler();
  ASSERT_TRUE(RunToEnd());

  std::vector<std::string> waits;
  for (const std::string& l : log.Lines()) {
    if (l.rfind("Waiting for ", 0) == 0) waits.push_back(l);
  }
  EXPECT_EQ(waits, Repeat(c.head, c.tail));
  EXPECT_EQ(errors.Lines(), c.errors);
  EXPECT_EQ(RunningThreads, 0);  // abandoned threads are no longer counted
  EXPECT_EQ(ReadSideFile().size(), 1u);
  EXPECT_EQ(g_terminated, 1);
}

INSTANTIATE_TEST_SUITE_P(
    CloseAllThreads, StuckWaitTest,
    ::testing::Values(
        StuckCase{"DownloadThread", [] { RunningThreads = 1; }, "Waiting for 1 tread(s) to exit, have waited ",
                  " sec (of max 20).", {}},
        StuckCase{"Sending", [] { SendingInProgres = true; }, "Waiting for sending to end. Have waited ",
                  " sec (of max 20", {"SendingInProgres whiled exit"}},
        StuckCase{"Reading", [] { ResivingInProgres = true; }, "Waiting for reading to end. Have waited ",
                  " sec (of max 20", {"ResivingInProgres whiled exit"}}),
    [](const ::testing::TestParamInfo<StuckCase>& info) { return std::string(info.param.name); });

TEST_F(CloseAllThreadsTest, StuckSendAndExchangeAreBothNamedInOrder) {
  SendingInProgres = true;
  ResivingInProgres = true;
  StopCrawler();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"SendingInProgres whiled exit", "ResivingInProgres whiled exit"}));
  EXPECT_EQ(log.CountPrefix("Waiting for sending"), CloseWaitSeconds);
  EXPECT_EQ(log.CountPrefix("Waiting for reading"), CloseWaitSeconds);
}

// What stands under the name of a SideFile.dat that cannot be written, and
// the error-log lines of the failure: a page that cannot be kept is named.
struct UnwritableCase {
  const char* name;
  void (*make)();
  mode_t kind;
  std::vector<std::string> before;  // lines before the save's failure
  const char* message;              // the failure's message
};

void PrintTo(const UnwritableCase& c, std::ostream* os) { *os << c.name; }

class UnwritableSideFileTest : public CloseAllThreadsTest, public ::testing::WithParamInterface<UnwritableCase> {};

mode_t KindOf(const char* path) {
  struct stat st {};
  return ::lstat(path, &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

TEST_P(UnwritableSideFileTest, ASideFileThatCannotBeWrittenIsLoggedAndTheProcessStillEnds) {
  const UnwritableCase& c = GetParam();
  test::WriteFileBytes("outside.txt", "keep");
  for (int i = 1; i <= 3; ++i) PutUrl(MakePage("http://lost/" + std::to_string(i)));
  c.make();
  StopCrawler();
  ASSERT_TRUE(RunToEnd());
  std::vector<std::string> want = c.before;
  want.push_back(std::string("Cant save SideFile.dat, the queued pages are lost: EInOutError: ") + c.message);
  for (int i = 1; i <= 3; ++i) {
    want.push_back("SideFile.dat cannot take http://lost/" + std::to_string(i) + ": " + c.message +
                   "; the page is lost");
  }
  EXPECT_EQ(errors.Lines(), want);
  EXPECT_EQ(UrlQueueCount(), 0);
  EXPECT_EQ(KindOf("SideFile.dat"), c.kind);
  EXPECT_EQ(test::ReadFileBytes("outside.txt"), "keep");
  EXPECT_EQ(g_terminated, 1);
}

INSTANTIATE_TEST_SUITE_P(
    CloseAllThreads, UnwritableSideFileTest,
    ::testing::Values(
        UnwritableCase{"Directory", [] { ASSERT_EQ(::mkdir("SideFile.dat", 0755), 0); }, S_IFDIR, {},
                       "Invalid filename"},
        UnwritableCase{"Fifo", [] { ASSERT_EQ(::mkfifo("SideFile.dat", 0600), 0); }, S_IFIFO,
                       {"SideFile.dat is a FIFO, not a regular file; it is left alone"}, "File access denied"},
        UnwritableCase{"SymbolicLink", [] { ASSERT_EQ(::symlink("outside.txt", "SideFile.dat"), 0); }, S_IFLNK,
                       {"SideFile.dat is a symbolic link, not a regular file; it is left alone"},
                       "File access denied"}),
    [](const ::testing::TestParamInfo<UnwritableCase>& info) { return std::string(info.param.name); });

// The closing thread's one-second polls last 100 ms, every other engine sleep
// 1 ms: the closing thread's waits leave the URL fetcher some seconds to end.
void SlowClosingSleep(uint32_t ms) { RealSleep(ms == 1000 ? 100 : 1); }

// A reply of 3000 pages at the stop: the URL fetcher waits for room in the
// full queue while the closing thread waits for the download threads (one is
// slow) and then for the reading. The wait for room ends with the stop, so
// the reading ends before the save: the 1500 queued pages are saved, and each
// of the others is named in the error log. No page goes without a trace.
TEST_F(CloseAllThreadsTest, PagesOfAReplyThatDoesNotFitAreNamedAtTheStop) {
  constexpr int kPages = 3000;
  std::string xml = "<reply><crawlthis>";
  for (int i = 0; i < kPages; ++i) {
    xml += "<crawl><url>http://reply/" + std::to_string(i) + "</url><storage>127.0.0.2</storage></crawl>";
  }
  xml += "</crawlthis></reply>";
  SetSleepFunction(&SlowClosingSleep);
  ResivingInProgres = true;
  std::thread fetcher([&] {
    ParseUrlServerReply(xml);
    ResivingInProgres = false;
  });
  EXPECT_TRUE(WaitUntil([] { return UrlQueueCount() == 1500; }));
  RunningThreads = 1;  // a slow download thread, ending after some waits
  StopCrawler();
  EXPECT_TRUE(WaitUntil([&] { return log.CountPrefix("Waiting for 1 tread(s)") >= 2; }));
  RunningThreads = 0;
  const bool ended = RunToEnd();
  // Without the stop in the wait, the reply would go on into the emptied queue.
  while (ResivingInProgres) {
    UrlInfo drained;
    TryGetUrl(drained);
  }
  fetcher.join();
  ASSERT_TRUE(ended);

  std::vector<std::string> saved;
  for (const UrlInfo& r : ReadSideFile()) saved.push_back(r.Url.str());
  ASSERT_EQ(saved.size(), 1500u);
  for (int i = 0; i < 1500; ++i) ASSERT_EQ(saved[static_cast<size_t>(i)], "http://reply/" + std::to_string(i));
  const std::vector<std::string> lines = errors.Lines();
  ASSERT_EQ(lines.size(), 1500u) << (lines.empty() ? "" : lines.back());
  for (int i = 1500; i < kPages; ++i) {
    ASSERT_EQ(lines[static_cast<size_t>(i - 1500)], "SideFile.dat cannot take http://reply/" + std::to_string(i) +
                                                        ": the page queue is full at shut-down; the page is lost");
  }
  EXPECT_EQ(UrlQueueCount(), 0);
}

// A page offered once the save has begun (by a reading the closing thread
// gave up waiting for) is named too, not left in a queue nobody saves.
TEST_F(CloseAllThreadsTest, APagePutAfterTheSaveIsNamed) {
  PutUrl(MakePage("http://before/"));
  StopCrawling = true;
  SaveUrlQueue();
  EXPECT_FALSE(PutUrl(MakePage("http://after/")));
  EXPECT_EQ(errors.Lines(), std::vector<std::string>{"SideFile.dat cannot take http://after/: the page queue was saved "
                                                     "already; the page is lost"});
  EXPECT_EQ(ReadSideFile(), std::vector<UrlInfo>{MakePage("http://before/")});
  EXPECT_EQ(UrlQueueCount(), 0);
}

TEST_F(CloseAllThreadsTest, AFailingTerminateIsLoggedAndTheThreadFinishes) {
  ApplicationTerminateProc = [] { throw EInvalidOperation("no"); };
  StopCrawler();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(errors.Lines(), std::vector<std::string>{"cant do ApplicationTerminate"});
}

TEST_F(CloseAllThreadsTest, ASecondCloseRequestDuringTheShutDownStartsNoSecondSave) {
  RunningThreads = 1;  // holds the first closing thread in its first wait
  PutUrl(MakePage("http://kept/"));
  StopCrawler();
  ASSERT_TRUE(WaitUntil([&] { return log.CountPrefix("Waiting for 1 tread(s)") > 0; }));
  StopCrawler();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(log.CountPrefix("start CloseAllThreads"), 2);
  EXPECT_EQ(log.CountPrefix("CloseAllThreads Execute"), 1);
  EXPECT_EQ(log.CountPrefix("Saving queues"), 1);
  EXPECT_EQ(g_terminated, 1);
  EXPECT_EQ(ReadSideFile(), std::vector<UrlInfo>{MakePage("http://kept/")});
}

}  // namespace
}  // namespace tov
