// The monitor and the crawler together, end to end: the real Tovwatch, which
// starts the real Tovfetch beside it, in a prepared work directory, with the
// stand-in URL server, web site and storage server. Each case runs in its own
// network and process namespaces, so the monitor's kill by name reaches only
// the crawlers of the case.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "crawler/SideFileEntry.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "tests/common/LinkTestSupport.h"
#include "tests/crawler/StorageTestSupport.h"
#include "tests/e2e/ProgramProcess.h"
#include "tests/support/StandIn.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::ProgramProcess;
using test::WaitForLogLine;
using test::WaitUntil;

const std::string kMonitorStarted = "Tovwatch Startet";
const std::string kCrawlerStarted = "Tovfetch Startet";
const std::string kRestart = "FailedCrawlerSjeks, cralwer is not responding. Restarting";
const std::string kUnknownKind = "ukjent flag";

// The crawler's process id from the start of its lock file; 0 before it is written.
int32_t CrawlerPid(const std::string& dir) {
  const std::string text = test::ReadFileBytes(dir + "/CrawlerLockFile.lock");
  std::string hex;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) break;
    hex += c;
  }
  int32_t pid = 0;
  return !hex.empty() && TryStrToInt("$" + hex, pid) ? pid : 0;
}

int LogCount(const std::string& message, const std::string& dir) {
  int n = 0;
  for (const std::string& line : test::ErrorLogMessages(dir + "/ErrorLog.txt")) n += line == message;
  return n;
}

// The whole entries in the crawler's side-file queue files.
size_t QueuedEntries(const std::string& dir) {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/sqtemp", ec)) {
    n += DecodeSideFileEntries(test::ReadFileBytes(e.path().string())).Entries.size();
  }
  return n;
}

class TovwatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = GetCurrentDir();
    ASSERT_TRUE(test::PrepareWorkDir(dir_));
  }
  // A failed case shows what both programs logged, its last lines.
  void TearDown() override {
    if (!HasFailure()) return;
    const std::vector<std::string> lines = test::ErrorLogMessages(dir_ + "/ErrorLog.txt");
    const size_t from = lines.size() > 60 ? lines.size() - 60 : 0;
    std::string tail;
    for (size_t i = from; i < lines.size(); ++i) tail += "  " + lines[i] + "\n";
    std::cerr << "ErrorLog.txt, last " << lines.size() - from << " of " << lines.size() << " lines:\n" << tail;
  }
  void Settings(int32_t idle_time_to_change, int32_t crawl_when_idle) {
    ConfigData config = test::ReadConfigFile("Config.bin");
    config.IdleTimeToChange = idle_time_to_change;
    config.CrawlWhenIdle = crawl_when_idle;
    test::WriteConfigFile("Config.bin", config);
  }
  // The URL server hands out these pages once, all to the storage server 127.0.0.3.
  std::unique_ptr<test::StandInUrlServer> UrlServer(const std::vector<std::string>& lines) {
    std::string list;
    for (const std::string& l : lines) list += l + "\n";
    test::WriteFileBytes("pages.txt", list);
    auto server = std::make_unique<test::StandInUrlServer>(
        dir_ + "/url-server", "", std::vector<std::string>{"--pages", dir_ + "/pages.txt", "--storage", "127.0.0.3"});
    EXPECT_TRUE(server->Ready());
    return server;
  }
  // The web site on 127.0.0.2:80 and the storage server on 127.0.0.3:8080.
  void StartSiteAndStorage() {
    site_ = std::make_unique<test::StandInWebSite>(std::vector<std::string>{"127.0.0.2"});
    ASSERT_TRUE(site_->Ready());
    storage_ = std::make_unique<test::StandInStorageServer>(dir_ + "/storage", std::vector<std::string>{"127.0.0.3"});
    ASSERT_TRUE(storage_->Ready());
  }
  std::unique_ptr<ProgramProcess> StartMonitor() {
    auto monitor = std::make_unique<ProgramProcess>("Tovwatch", dir_, "", std::vector<std::string>{"-b"});
    EXPECT_TRUE(WaitForLogLine(kMonitorStarted, dir_)) << monitor->Stderr();
    EXPECT_TRUE(WaitForLogLine(kCrawlerStarted, dir_)) << monitor->Stderr();
    return monitor;
  }

  test::PrivateLinkDir link_;
  std::string dir_;
  std::unique_ptr<test::StandInWebSite> site_;
  std::unique_ptr<test::StandInStorageServer> storage_;
};

// With an idle time to change of -1 every idle time is above it, so the
// first tick switches the crawler to its idle count whatever the desktop says.
TEST_F(TovwatchTest, BackgroundMonitorStartsTheCrawlerSwitchesItToTheIdleCountAndEndsItOnExit) {
  Settings(-1, 2);
  ASSERT_NO_FATAL_FAILURE(StartSiteAndStorage());
  std::vector<std::string> pages;
  for (int i = 0; i < 20; ++i) pages.push_back(site_->Url("/gen/2.html?p=" + std::to_string(i)));
  auto url_server = UrlServer(pages);

  auto monitor = StartMonitor();
  ASSERT_TRUE(WaitUntil([&] { return CrawlerPid(dir_) > 0; }, 10000));
  const int32_t crawler = CrawlerPid(dir_);
  EXPECT_TRUE(ProcessExists(crawler));
  // Download threads run only once the monitor has sent the idle count: every
  // page handed out is then fetched and queued.
  EXPECT_TRUE(WaitUntil([&] { return QueuedEntries(dir_) == 20; }, 60000));
  EXPECT_GE(url_server->CountRequests(), 1u);

  // Exit tells the crawler, which shuts down in order with nothing left to save.
  monitor->Signal(SIGTERM);
  EXPECT_EQ(monitor->WaitExit(), 0);
  EXPECT_TRUE(WaitUntil([&] { return !ProcessExists(crawler); }, 60000));
  EXPECT_TRUE(test::HasLogLine("Askt to exit", dir_));
  EXPECT_EQ(FileExists("SideFile.dat") ? FileSizeOf("SideFile.dat") : 0, 0);
  EXPECT_EQ(LogCount(kRestart, dir_), 0);
}

// The whole road: pages fetched from the web site by several threads, queued,
// and delivered to the storage server once more than 500 entries wait.
TEST_F(TovwatchTest, FullRoadDeliversTheCrawledPagesToTheStorageServer) {
  Settings(-1, 10);
  ASSERT_NO_FATAL_FAILURE(StartSiteAndStorage());
  test::StandInWebSite& site = *site_;
  test::StandInStorageServer& storage = *storage_;
  std::vector<std::string> pages;
  for (int i = 0; i < 560; ++i) {
    if (i % 10 == 3) {
      pages.push_back(site.Url("/missing?p=" + std::to_string(i)));
    } else if (i % 10 == 7) {
      pages.push_back(site.Url("/robots.txt?p=" + std::to_string(i)) + "\trobottxt");
    } else {
      pages.push_back(site.Url("/gen/2.html?p=" + std::to_string(i)) + (i % 10 == 5 ? "\t\t\t\t\tTRUE" : ""));
    }
  }
  auto url_server = UrlServer(pages);
  auto monitor = StartMonitor();
  ASSERT_TRUE(WaitUntil([&] { return storage.CountUploads() >= 1; }, 240000));

  size_t delivered = 0;
  size_t thumbnails = 0;
  for (const test::StorageUpload& up : storage.Uploads()) {
    EXPECT_EQ(up.Command, "oppdater");
    EXPECT_EQ(up.Entries.WholeSize, up.Body.size());
    for (const SideFileEntry& e : up.Entries.Entries) {
      ++delivered;
      SCOPED_TRACE(e.Head.Url);
      const bool missing = e.Head.Url.find("/missing") != std::string::npos;
      const bool robots = e.Head.Url.find("/robots.txt") != std::string::npos;
      const bool thumb = e.Head.Url.find("?p=") != std::string::npos && e.Head.Url.back() == '5';
      EXPECT_EQ(e.Head.Status, missing ? "404" : "200");
      EXPECT_EQ(e.Head.PageType, robots ? "robottxt" : "crawl");
      EXPECT_EQ(e.Head.PeerIP, missing ? "" : "127.0.0.2");
      const std::string body = test::InflatePage(e.Html);
      if (missing) {
        EXPECT_EQ(body, "");
      } else if (robots) {
        EXPECT_EQ(body, test::StandInWebSite::RobotsTxt());
      } else {
        EXPECT_EQ(body.size(), 2048u);
        EXPECT_NE(body.find(e.Head.Url.substr(e.Head.Url.find("/gen/"))), std::string::npos);
      }
      if (thumb) {
        EXPECT_GT(e.Head.ThumbnailSize, 0);
        EXPECT_EQ(e.Thumbnail.substr(0, 2), "\xFF\xD8");
        ++thumbnails;
      } else {
        EXPECT_EQ(e.Head.ThumbnailSize, 0);
      }
    }
  }
  EXPECT_GT(delivered, 500u);
  EXPECT_GT(thumbnails, 0u);
  EXPECT_EQ(LogCount(kRestart, dir_), 0);
  monitor->Signal(SIGTERM);
  EXPECT_EQ(monitor->WaitExit(), 0);
}

// A crawler that hangs sends no heartbeat: on the 242nd tick after its last
// one the monitor logs it, kills every crawler, makes a new link monitor and
// starts a new crawler, which attaches to it. About four minutes.
TEST_F(TovwatchTest, ACrawlerStoppedWithSigstopIsKilledAndReplaced) {
  auto monitor = StartMonitor();
  ASSERT_TRUE(WaitUntil([&] { return CrawlerPid(dir_) > 0; }, 10000));
  const int32_t hung = CrawlerPid(dir_);
  // On attach the monitor sends the crawler the link block's last record with
  // its flag word; in a fresh block that is a record of KindNone, which the
  // crawler logs as unknown. So each such line is a crawler attached.
  ASSERT_TRUE(WaitUntil([&] { return LogCount(kUnknownKind, dir_) == 1; }, 20000));
  ASSERT_EQ(::kill(hung, SIGSTOP), 0);

  ASSERT_TRUE(WaitForLogLine(kRestart, dir_, 300000)) << monitor->Stderr();
  EXPECT_TRUE(WaitUntil([&] { return !ProcessExists(hung); }, 10000));
  const std::string killed = "Tovfetch (process " + std::to_string(hung) + ") was ended by signal 9 (Killed)";
  EXPECT_TRUE(WaitUntil([&] { return LogCount(killed, dir_) == 1; }, 10000));
  // The new one starts once every thread of the killed one has ended, which
  // on a busy machine may take up to the restart's wait of 60 ticks.
  EXPECT_TRUE(WaitUntil([&] { return LogCount(kCrawlerStarted, dir_) == 2; }, 90000));
  EXPECT_TRUE(WaitUntil([&] { return CrawlerPid(dir_) != hung && ProcessExists(CrawlerPid(dir_)); }, 10000));
  EXPECT_TRUE(WaitUntil([&] { return LogCount(kUnknownKind, dir_) == 2; }, 20000));
  EXPECT_EQ(LogCount(kRestart, dir_), 1);
  EXPECT_EQ(LogCount(killed, dir_), 1);

  monitor->Signal(SIGTERM);
  EXPECT_EQ(monitor->WaitExit(), 0);
}

}  // namespace
}  // namespace tov
