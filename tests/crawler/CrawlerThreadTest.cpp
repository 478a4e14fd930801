// The download threads against the stand-in web site, inside the test's own
// network namespace: what each kind of answer becomes in the storage server's
// queue file, in the reports and in the logs.
#include "crawler/CrawlerThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "common/SharedGlobals.h"
#include "crawler/CrawlerEngine.h"
#include "crawler/SideFileEntry.h"
#include "crawler/UrlQueue.h"
#include "platform/Files.h"
#include "platform/SysUtils.h"
#include "platform/ThumbRenderPool.h"
#include "toolkit/CleanHtml.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/crawler/StorageTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::StandInWebSite;
using test::WaitUntil;

constexpr const char* kStorage = "127.0.0.5";

UrlInfo Page(const std::string& url, const std::string& type, bool thumbnail, const std::string& doc = "doc") {
  UrlInfo info;
  info.Url = url;
  info.PageType = type;
  info.MakeThumbnale = thumbnail;
  info.DocID = doc;
  info.Storage = kStorage;
  info.Dato = "2026-12-10";
  return info;
}

bool IsJpeg(const std::string& bytes) {
  return bytes.size() > 4 && bytes.compare(0, 2, "\xFF\xD8") == 0 && bytes.compare(bytes.size() - 2, 2, "\xFF\xD9") == 0;
}

class CrawlerThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The download threads and so their render helpers run at idle priority,
    // which a busy machine may leave waiting for seconds: these tests show
    // what becomes of a page, not how fast a picture is drawn.
    ThumbRenderLimits limits;
    limits.time_limit_ms = 120000;
    SetThumbRenderLimits(limits);
    ASSERT_TRUE(site.Ready());
    std::filesystem::create_directory("sqtemp");
    std::filesystem::create_directory("tmp");
  }
  void Start() {
    StartCrawler(
        log.Proc(), "0.82", fatal.Proc(), nullptr,
        [this](uint8_t what) {
          std::lock_guard<std::mutex> lock(mutex);
          stats.push_back(what);
        },
        errors.Proc(), [] {},
        [this] {
          // The heartbeat's reports are not pages.
          if (CurrentThreadId() != heartbeat_id) {
            ++handled;
          } else {
            ++beats;
          }
        },
        false, "");
    heartbeat_id = HartPipThread.load()->ThreadID();
  }
  // Queues the pages, lets one thread take them all and waits until each
  // has been reported.
  void Crawl(const std::vector<UrlInfo>& pages, int threads = 1) {
    for (const UrlInfo& p : pages) PutUrl(p);
    const int before = handled;
    SetCrawlers(threads);
    ASSERT_TRUE(WaitUntil([&] { return handled >= before + static_cast<int>(pages.size()); }, 60000));
  }
  std::vector<SideFileEntry> Entries(const std::string& storage = kStorage) {
    return DecodeSideFileEntries(test::ReadFileBytes("sqtemp/" + storage)).Entries;
  }
  std::vector<uint8_t> Stats() {
    std::lock_guard<std::mutex> lock(mutex);
    return stats;
  }
  void TearDown() override {
    EXPECT_TRUE(test::StopTestEngine(log));
    SetThumbRenderLimits(ThumbRenderLimits{});
  }

  test::FreshEngineState engine_state;
  StandInWebSite site{{"127.0.0.1", "127.0.0.7"}, 80};
  test::ScopedWorkDir dir;
  test::FastSleep fast;
  test::EngineLog log;
  test::EngineLog errors;
  test::EngineLog fatal;
  std::mutex mutex;
  std::vector<uint8_t> stats;
  std::atomic<int> handled{0};  // pages a download thread has finished
  std::atomic<int> beats{0};    // the heartbeat's own reports
  std::atomic<uint32_t> heartbeat_id{0};
};

// Every answer a page can get, one after the other on one thread, so each
// entry also shows that nothing of the page before it is carried over.
TEST_F(CrawlerThreadTest, EachAnswerBecomesItsEntryReportAndLogLine) {
  struct Case {
    std::string url;
    std::string type;
    bool thumb;
    std::string status;
    std::optional<std::string> body;  // nothing: not checked here
    std::string doc;
    std::string peer;
    std::string log;  // a progress line the page must give; empty for none
  };
  const std::string page = StandInWebSite::PageHtml();
  const std::string moved_target = "http://127.0.0.1/page.html";  // the stand-in names the Host it was asked for
  const std::vector<Case> cases{
      {site.Url("/page.html"), "crawl", false, "200", page, "doc", "127.0.0.1",
       "Url: " + site.Url("/page.html") + " for crawl: 200"},
      {site.Url("/page.html", "127.0.0.7"), "crawl", false, "200", page, "doc", "127.0.0.7", ""},
      {site.Url("/missing"), "crawl", false, "404", "", "doc", "", "Url: " + site.Url("/missing") + " for crawl : 404"},
      {site.Url("/robots.txt"), "robottxt", true, "200", StandInWebSite::RobotsTxt(), "", "127.0.0.1", ""},
      {site.Url("/missing"), "robottxt", false, "404", "", "doc", "", ""},
      {site.Url("/found"), "crawl", false, "302", "/page.html", "doc", "",
       "Url: " + site.Url("/found") + " Redirects to /page.html : 302"},
      {site.Url("/moved"), "crawl", false, "301", moved_target, "doc", "", ""},
      // A redirect without a target carries no earlier page's target.
      {site.Url("/status/301"), "crawl", false, "301", "", "doc", "", ""},
      {site.Url("/frames.html"), "crawl", true, "200", StandInWebSite::FramesHtml(), "doc", "127.0.0.1",
       site.Url("/frames.html") + " have frames, useing frame mode."},
      {site.Url("/localfile.html"), "crawl", true, "200", std::nullopt, "doc", "127.0.0.1",
       site.Url("/localfile.html") + " asked for locale file."},
      {site.Url("/page.html"), "other", true, "200", "", "doc", "127.0.0.1", ""},
      {site.Url("/page.html"), "other", false, "200", page, "doc", "127.0.0.1", ""},
      // Not text: kept whole, without the server's address.
      {site.Url("/picture.jpg"), "crawl", false, "200", std::nullopt, "doc", "", ""},
      {"http://127.0.0.1:1/refused", "crawl", false, IntToStr(StatusConnectRefused), "", "doc", "", ""},
      {site.Url("/close"), "crawl", false, IntToStr(StatusConnectionClosed), "", "doc", "", ""},
      // A socket failure: no route out of the namespace.
      {"http://10.255.255.1/page.html", "crawl", false, IntToStr(StatusSocketError), "", "doc", "", ""},
      {"file:///etc/passwd", "crawl", false, IntToStr(StatusOtherFailure), "", "doc", "",
       "Unknown Error: EIdUnknownProtocol"},
      {site.Url("/garbage"), "crawl", false, IntToStr(StatusOtherFailure), "", "doc", "", ""},
  };
  std::vector<UrlInfo> pages;
  std::vector<uint8_t> want_stats;
  for (const Case& c : cases) {
    pages.push_back(Page(c.url, c.type, c.thumb));
    if (c.type == "robottxt") want_stats.push_back(StatRobotsTxt);
    if (c.type == "crawl") want_stats.push_back(c.status == "200" ? StatUrlOk : StatUrlError);
  }
  Start();
  Crawl(pages);

  const std::vector<SideFileEntry> entries = Entries();
  ASSERT_EQ(entries.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const SideFileEntry& e = entries[i];
    SCOPED_TRACE(c.url + " as " + c.type);
    EXPECT_EQ(e.Head.Url, c.url);
    EXPECT_EQ(e.Head.PageType, c.type);
    EXPECT_EQ(e.Head.Status, c.status);
    EXPECT_EQ(e.Head.DocID, c.doc);
    EXPECT_EQ(e.Head.PeerIP, c.peer);
    EXPECT_EQ(e.Head.ThumbnailSize, 0);
    const std::string body = test::InflatePage(e.Html);
    if (c.body) {
      EXPECT_EQ(body, *c.body);
    }
    if (!c.log.empty()) {
      EXPECT_TRUE(log.Contains(c.log)) << c.log;
    }
  }
  EXPECT_EQ(test::InflatePage(entries[12].Html).substr(0, 2), "\xFF\xD8");  // the picture's bytes
  EXPECT_NE(test::InflatePage(entries[9].Html).find("file://"), std::string::npos);
  EXPECT_EQ(Stats(), want_stats);
  // A refused connection's line carries the client's message.
  EXPECT_EQ(log.CountPrefix("Url: http://127.0.0.1:1/refused for crawl, cant crawl: "), 1);
  EXPECT_EQ(log.CountPrefix("Url: " + site.Url("/close") + " for crawl, cant crawl: "), 1);
  EXPECT_EQ(log.CountPrefix("Url: http://10.255.255.1/page.html for crawl, cant crawl: Network is unreachable"), 1);
  EXPECT_EQ(log.CountPrefix("Url: " + site.Url("/picture.jpg") + " for crawl: 200"), 0);
  EXPECT_TRUE(errors.Lines().empty()) << errors.Lines().front();
}

TEST_F(CrawlerThreadTest, RequestCarriesTheCrawlersHeadersAndNoCookie) {
  Start();
  Crawl({Page(site.Url("/cookie"), "crawl", false), Page(site.Url("/echo"), "crawl", false)});
  const std::vector<SideFileEntry> entries = Entries();
  ASSERT_EQ(entries.size(), 2u);
  const std::vector<std::string> lines = [&] {
    std::vector<std::string> out;
    std::string body = test::InflatePage(entries[1].Html);
    for (size_t at = 0, end; (end = body.find("\r\n", at)) != std::string::npos; at = end + 2)
      out.push_back(body.substr(at, end - at));
    return out;
  }();
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "GET /echo HTTP/1.1");
  EXPECT_TRUE(has("Accept: text/html"));
  EXPECT_TRUE(has("Accept-Language: en"));
  EXPECT_TRUE(has("User-Agent: " + UserAgent));
  for (const std::string& l : lines) EXPECT_NE(l.rfind("Cookie", 0), 0u) << l;
}

TEST_F(CrawlerThreadTest, AThumbnailIsRenderedFromTheCleanedCopyAndThePageKeptAsFetched) {
  Start();
  Crawl({Page(site.Url("/page.html"), "crawl", true, "thumbdoc")});
  const std::vector<SideFileEntry> entries = Entries();
  ASSERT_EQ(entries.size(), 1u);
  const SideFileEntry& e = entries[0];
  EXPECT_EQ(e.Head.Status, "200");
  EXPECT_EQ(e.Head.DocID, "thumbdoc");
  EXPECT_GT(e.Head.ThumbnailSize, 0);
  EXPECT_LT(e.Head.ThumbnailSize, ThumbnailBufferSize);
  EXPECT_TRUE(IsJpeg(e.Thumbnail));
  EXPECT_EQ(test::InflatePage(e.Html), StandInWebSite::PageHtml());
  EXPECT_EQ(Stats(), std::vector<uint8_t>{StatUrlOk});

  // The thread waits for its next page; its work file holds the BASE line
  // and the cleaned copy, each line ended with CR LF.
  const std::string work = "tmp/" + std::to_string(CrawlerThreads[1]) + ".html";
  std::string cleaned = StandInWebSite::PageHtml();
  TCleanHtml().Clean(cleaned);
  EXPECT_NE(cleaned, StandInWebSite::PageHtml());
  EXPECT_EQ(test::ReadFileBytes(work), "<BASE HREF=\"" + site.Url("/page.html") + "\">\r\n" + cleaned + "\r\n");

  // Leaving deletes it.
  SetCrawlers(0);
  PutUrl(Page(site.Url("/robots.txt"), "robottxt", false));
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 0; }));
  EXPECT_FALSE(FileExists(work));
  EXPECT_TRUE(log.Contains("prepering to exiting"));
  EXPECT_TRUE(log.Contains("Thread " + std::to_string(CrawlerThreads[1]) + " exiting"));
}

TEST_F(CrawlerThreadTest, AnOverLongPageIsCutOnceAndLoggedOnce) {
  Start();
  Crawl({Page(site.Url("/big.html"), "crawl", false)});
  const std::vector<SideFileEntry> entries = Entries();
  ASSERT_EQ(entries.size(), 1u);
  const std::string body = test::InflatePage(entries[0].Html);
  EXPECT_EQ(body.size(), static_cast<size_t>(MaxHtmlSize));
  EXPECT_EQ(body, StandInWebSite::BigPagePrefix(MaxHtmlSize));
  EXPECT_EQ(log.CountPrefix("Html was to long. Trunkating"), 1);
}

TEST_F(CrawlerThreadTest, WithoutTheTmpFolderEveryThumbnailFailsAndThePagesGoOn) {
  std::filesystem::remove("tmp");
  Start();
  Crawl({Page(site.Url("/page.html"), "crawl", true), Page(site.Url("/page.html?2"), "crawl", true)});
  const std::string line = "kunne ikke jobbe med html fil " + WorkDir + "/tmp/" + std::to_string(CrawlerThreads[1]) + ".html";
  int n = 0;
  for (const std::string& l : errors.Lines()) n += l == line ? 1 : 0;
  EXPECT_EQ(n, 2);
  const std::vector<SideFileEntry> entries = Entries();
  ASSERT_EQ(entries.size(), 2u);
  for (const SideFileEntry& e : entries) {
    EXPECT_EQ(e.Head.ThumbnailSize, 0);
    EXPECT_EQ(test::InflatePage(e.Html), StandInWebSite::PageHtml());
  }
}

TEST_F(CrawlerThreadTest, AWorkFileNameTooLongForTheSystemFailsCleanly) {
  Start();
  std::string deep = WorkDir;
  while (deep.size() < 5000) deep += "/" + std::string(200, 'd');
  WorkDir = deep;  // read by the threads when they start
  const UrlInfo page = Page(site.Url("/page.html"), "crawl", true);
  PutUrl(page);
  SetCrawlers(1);
  // No thumbnail; nor can the entry be written, so the page waits in hand
  // until the stop puts it back in the queue.
  ASSERT_TRUE(WaitUntil([&] { return errors.CountPrefix("cant queue ") == 1; }, 20000));
  StopCrawling = true;
  ASSERT_TRUE(WaitUntil([&] { return RunningThreadCount() == 0 && ThreadsBeingCreated == 0; }, 20000));
  EXPECT_EQ(errors.CountPrefix("kunne ikke jobbe med html fil " + deep + "/tmp/"), 1);
  EXPECT_EQ(errors.CountPrefix("cant queue " + page.Url.str() + " for 127.0.0.5: "), 1);
  UrlInfo back;
  ASSERT_TRUE(TryGetUrl(back));
  EXPECT_EQ(back, page);
  EXPECT_TRUE(Stats().empty());
}

TEST_F(CrawlerThreadTest, SeveralThreadsQueueEveryPageOnce) {
  Start();
  std::vector<UrlInfo> pages;
  for (int i = 0; i < 60; ++i) {
    UrlInfo p = Page(site.Url("/gen/2.html?p=" + std::to_string(i)), "crawl", false, std::to_string(i));
    if (i % 2 == 1) p.Storage = "127.0.0.6";
    pages.push_back(p);
  }
  Crawl(pages, 6);
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 6; }));
  std::vector<SideFileEntry> all = Entries();
  const std::vector<SideFileEntry> other = Entries("127.0.0.6");
  EXPECT_EQ(all.size(), 30u);
  EXPECT_EQ(other.size(), 30u);
  all.insert(all.end(), other.begin(), other.end());
  std::set<std::string> docs;
  for (const SideFileEntry& e : all) {
    EXPECT_EQ(e.Head.Status, "200");
    const std::string body = test::InflatePage(e.Html);
    EXPECT_EQ(body.size(), 2048u);
    EXPECT_NE(body.find("/gen/2.html?p=" + e.Head.DocID), std::string::npos);
    docs.insert(e.Head.DocID);
  }
  EXPECT_EQ(docs.size(), 60u);
  EXPECT_EQ(PendingSideFileCount(), 60);
}

int SiteHits(const StandInWebSite& site) {
  TIdHTTP http;
  return StrToInt(http.Get(site.Url("/hits")));
}

std::vector<UrlInfo> GeneratedPages(const StandInWebSite& site, int n) {
  std::vector<UrlInfo> pages;
  for (int i = 0; i < n; ++i) {
    pages.push_back(Page(site.Url("/gen/1.html?p=" + std::to_string(i)), "crawl", false, std::to_string(i)));
  }
  return pages;
}

// No entry can be written while sqtemp is a file, not even by root.
class EntryPauseTest : public CrawlerThreadTest {
 protected:
  // Queues n pages for the given number of threads and waits for the pause.
  std::vector<UrlInfo> CrawlUntilThePause(int n, int threads) {
    std::filesystem::remove("sqtemp");
    test::WriteFileBytes("sqtemp", "");
    Start();
    std::vector<UrlInfo> pages = GeneratedPages(site, n);
    for (const UrlInfo& p : pages) PutUrl(p);
    SetCrawlers(threads);
    EXPECT_TRUE(WaitUntil([&] { return errors.CountPrefix("cant queue ") > 0; }));
    return pages;
  }
};

// While no entry can be written fetching pauses: each thread fetches at most
// the page it had begun, keeps it and takes no other, and threads started
// during the pause take none, however often the monitor resends the thread
// count; the error log gets one line and the heartbeat goes on. Once sqtemp
// is a folder again every page is queued, and none was fetched twice.
TEST_F(EntryPauseTest, WhileNoEntryCanBeWrittenFetchingPausesAndThenGoesOn) {
  CrawlUntilThePause(12, 3);
  const int beats_before = beats;
  // A raise while a thread is still on its way starts none, so it is resent
  // as the monitor does every tick.
  EXPECT_TRUE(WaitUntil(
      [] {
        SetCrawlers(6);
        return RunningThreadCount() == 6;
      },
      60000));
  for (int tick = 0; tick < 50; ++tick) {
    SetCrawlers(6);
    RealSleep(10);  // some hundred tries of the entries and takes meanwhile
  }
  EXPECT_EQ(RunningThreadCount(), 6);
  EXPECT_LE(SiteHits(site), 3);
  EXPECT_GE(UrlQueueCount(), 9);
  EXPECT_GT(beats, beats_before);
  EXPECT_TRUE(Stats().empty());
  const std::vector<std::string> lines = errors.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("cant queue " + site.Url("/gen/1.html?p="), 0), 0u) << lines[0];
  const std::string tail =
      " for 127.0.0.5: " + WorkDir + "/sqtemp/127.0.0.5: Invalid filename; fetching pauses until its entry can be written";
  EXPECT_EQ(lines[0].substr(lines[0].size() - std::min(lines[0].size(), tail.size())), tail);

  std::filesystem::remove("sqtemp");
  std::filesystem::create_directory("sqtemp");
  ASSERT_TRUE(WaitUntil([&] { return static_cast<int>(Stats().size()) == 12; }, 60000));
  std::set<std::string> docs;
  for (const SideFileEntry& e : Entries()) docs.insert(e.Head.DocID);
  EXPECT_EQ(docs.size(), 12u);
  EXPECT_EQ(Entries().size(), 12u);
  EXPECT_EQ(SiteHits(site), 12);
  EXPECT_EQ(errors.Lines().size(), 1u);
}

// At the stop, a page that waits for its entry goes back to the page queue,
// and so into the save with the pages no thread took.
TEST_F(EntryPauseTest, AtTheStopAPageWaitingForItsEntryIsSavedWithTheQueue) {
  const std::vector<UrlInfo> pages = CrawlUntilThePause(4, 2);
  StopCrawling = true;
  ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 0; }));
  SaveUrlQueue();
  std::set<std::string> saved;
  const std::string bytes = test::ReadFileBytes("SideFile.dat");
  ASSERT_EQ(bytes.size(), 4 * UrlInfo::kEncodedSize);
  for (size_t at = 0; at < bytes.size(); at += UrlInfo::kEncodedSize) {
    saved.insert(DecodeUrlInfo(std::span<const uint8_t, UrlInfo::kEncodedSize>(
                                   reinterpret_cast<const uint8_t*>(bytes.data() + at), UrlInfo::kEncodedSize))
                     .Url.str());
  }
  std::set<std::string> all;
  for (const UrlInfo& p : pages) all.insert(p.Url.str());
  EXPECT_EQ(saved, all);
  EXPECT_TRUE(Stats().empty());
}

// The client ends a page at its deadline as a read time-out (its own tests
// show it with a short one); a download thread's client must have one, or a
// server that trickles holds the thread for ever.
TEST(CrawlerHttpSettings, APageIsBoundedAsAWholeAndNotOnlyBySilence) {
  TIdHTTP http;
  ConfigureCrawlerHttp(http);
  EXPECT_EQ(http.ReadTimeout, 120000);
  EXPECT_EQ(http.PageDeadline, CrawlerPageDeadlineMs);
  EXPECT_GT(http.PageDeadline, http.ReadTimeout);
}

TEST(ThumbnailFailures, TheFirstTenOfTheRunAreOnlyCountedEveryLaterOneIsFatal) {
  test::FreshEngineState engine_state;
  for (int i = 1; i <= ThumbnailErrorLimit; ++i) EXPECT_FALSE(CountThumbnailFailure()) << i;
  EXPECT_TRUE(CountThumbnailFailure());
  EXPECT_TRUE(CountThumbnailFailure());
  EXPECT_EQ(ThumbnailErrorCount, ThumbnailErrorLimit);
}

TEST(ThumbnailFailures, TheFatalMessageNamesTheClassAndDescribesTheException) {
  const std::string program = program_invocation_short_name;
  EXPECT_EQ(ThumbnailFatalMessage("EOutOfMemory", "Out of memory"),
            "Can`t create thumbnails. Exception EOutOfMemory in module " + program +
                " at 00000000.\nOut of memory.. Error type is \"EOutOfMemory\". Try to restart the crawler if it has "
                "worked before");
  // The description is cut at 255 characters.
  const std::string long_message(400, 'm');
  const std::string text = ThumbnailFatalMessage("EThumb", long_message);
  const std::string head = "Can`t create thumbnails. ";
  const std::string tail = ". Error type is \"EThumb\". Try to restart the crawler if it has worked before";
  ASSERT_EQ(text.size(), head.size() + 255 + tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
}  // namespace tov
