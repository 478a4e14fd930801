// The crawler program end to end: the real Tovfetch in its own work directory
// and link directory, inside a private network namespace, with the link test
// program as the monitor and the stand-in storage server where pages leave.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "common/Config.h"
#include "common/MessageKinds.h"
#include "crawler/SideFileEntry.h"
#include "crawler/UrlQueue.h"
#include "platform/ClientSocket.h"
#include "platform/Files.h"
#include "platform/SysUtils.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"
#include "tests/common/WorkDirDefaults.h"
#include "tests/crawler/StorageTestSupport.h"
#include "tests/e2e/ProgramProcess.h"
#include "tests/support/StandIn.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::LinkPeer;
using test::PrepareWorkDir;
using test::ProgramProcess;
using test::ReadConfigFile;
using test::SignalLine;
using test::SignalPrefix;
using test::WriteConfigFile;
using test::WaitForLogLine;
using test::WaitUntil;

const std::string kStarted = "Tovfetch Startet";
const std::string kLockRefused = "Can`t lock lockfile, are more than one crawler runing?";
constexpr int32_t kNoSuchKind = 99;

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SideFileBytes(const std::vector<UrlInfo>& pages) {
  std::string bytes;
  std::array<uint8_t, UrlInfo::kEncodedSize> record{};
  for (const UrlInfo& p : pages) {
    EncodeUrlInfo(p, record);
    bytes.append(reinterpret_cast<const char*>(record.data()), record.size());
  }
  return bytes;
}

UrlInfo Page(const std::string& url, const std::string& type = "crawl", bool thumbnail = false) {
  UrlInfo info;
  info.Url = url;
  info.Dato = "2026-12-10";
  info.DocID = "d-" + url.substr(url.size() - 1);
  info.PageType = type;
  info.Storage = "127.0.0.3";
  info.MakeThumbnale = thumbnail;
  return info;
}

// How many records the crawler's link thread has taken off "CLIENT_EVENT".
int SignalsReceived(pid_t crawler) {
  const std::string line = "  " + IntToHex(static_cast<uint32_t>(crawler), 8) + ": Client Event Signaled: evMonitorSignal";
  int n = 0;
  for (const std::string& l : test::TraceLines()) n += l == line ? 1 : 0;
  return n;
}

class TovfetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = GetCurrentDir();
    ASSERT_TRUE(PrepareWorkDir(dir_));
  }
  const std::string& Dir() const { return dir_; }
  std::unique_ptr<ProgramProcess> Start(const std::string& display = "") {
    return std::make_unique<ProgramProcess>("Tovfetch", Dir(), display);
  }
  std::unique_ptr<ProgramProcess> StartAndWait(const std::string& display = "") {
    auto crawler = Start(display);
    EXPECT_TRUE(WaitForLogLine(kStarted)) << crawler->Stderr();
    return crawler;
  }
  static std::string Caption(pid_t pid) { return "Tovfetch (v 0.82) - " + IntToHex(static_cast<uint32_t>(pid)); }
  // Sends a record and waits until the crawler's link thread has taken it, so
  // the next record cannot take its place in the one-record block.
  static void SendToCrawler(LinkPeer& monitor, const ProgramProcess& crawler, int32_t kind,
                            const std::string& text = "") {
    const int before = SignalsReceived(crawler.Pid());
    const std::string command = test::SignalCommand(kind, text);
    ASSERT_EQ(monitor.Ask(command, "done"), "done");
    ASSERT_TRUE(WaitUntil([&] { return SignalsReceived(crawler.Pid()) > before; }, 10000)) << command;
  }
  static std::unique_ptr<LinkPeer> StartMonitor(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"monitor"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto monitor = std::make_unique<LinkPeer>(args);
    EXPECT_EQ(monitor->WaitLine("ready"), "ready");
    return monitor;
  }

  test::PrivateLinkDir link;
  std::string dir_;
};

TEST(PrepareWorkDir, WritesTheDefaultsAndKeepsWhatIsThere) {
  test::ScopedWorkDir work;
  const std::string dir = work.Path() + "/participant";
  ASSERT_TRUE(PrepareWorkDir(dir));
  EXPECT_TRUE(IsDirectory(dir + "/sqtemp"));
  EXPECT_TRUE(IsDirectory(dir + "/tmp"));
  EXPECT_TRUE(FileExists(dir + "/CrawlerLockFile.lock"));
  EXPECT_EQ(FileSizeOf(dir + "/CrawlerLockFile.lock"), 0);
  ASSERT_EQ(FileSizeOf(dir + "/Config.bin"), static_cast<int64_t>(ConfigData::kSize));
  const ConfigData defaults = test::WorkDirDefaults();
  EXPECT_EQ(ReadConfigFile(dir + "/Config.bin"), defaults);
  // Exactly the bytes the settings writer would make of it.
  auto encoded = EncodeConfig(defaults);
  EXPECT_EQ(test::ReadFileBytes(dir + "/Config.bin"), std::string(encoded.begin(), encoded.end()));

  ConfigData edited = defaults;
  edited.UserName = "participant";
  WriteConfigFile(dir + "/Config.bin", edited);
  test::WriteFileBytes(dir + "/CrawlerLockFile.lock", "1234");
  ASSERT_TRUE(PrepareWorkDir(dir));
  EXPECT_EQ(ReadConfigFile(dir + "/Config.bin"), edited);
  EXPECT_EQ(test::ReadFileBytes(dir + "/CrawlerLockFile.lock"), "1234");
}

TEST(PrepareWorkDir, WhatItMakesIsTheParticipantsAloneWhateverTheUmask) {
  test::ScopedWorkDir work;
  test::ScopedUmask open_umask(0);
  const std::string dir = work.Path() + "/home/participant";  // a parent it makes too
  ASSERT_TRUE(PrepareWorkDir(dir));
  struct Made {
    std::string path;
    int mode;
  };
  const Made made[] = {
      {work.Path() + "/home", 0700},
      {dir, 0700},
      {dir + "/sqtemp", 0700},
      {dir + "/tmp", 0700},
      {dir + "/Config.bin", 0600},
      {dir + "/CrawlerLockFile.lock", 0600},
  };
  for (const Made& m : made) EXPECT_EQ(test::PermissionsOf(m.path), m.mode) << m.path;

  // What is there already keeps its mode.
  const std::string other = work.Path() + "/other";
  ASSERT_EQ(::mkdir(other.c_str(), 0755), 0);
  test::WriteFileBytes(other + "/Config.bin", std::string(ConfigData::kSize, '\0'));
  ASSERT_EQ(::chmod((other + "/Config.bin").c_str(), 0644), 0);
  ASSERT_TRUE(PrepareWorkDir(other));
  EXPECT_EQ(test::PermissionsOf(other), 0755);
  EXPECT_EQ(test::PermissionsOf(other + "/Config.bin"), 0644);
  EXPECT_EQ(test::PermissionsOf(other + "/sqtemp"), 0700);
}

TEST_F(TovfetchTest, HoldsItsLockAndASecondCrawlerInTheSameDirectoryEnds) {
  test::WriteFileBytes("CrawlerLockFile.lock", "............");
  auto first = StartAndWait();
  std::vector<std::string> log = test::ErrorLogMessages();
  // The URL fetcher may already have logged that no URL server answers.
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "Tovfetch Starting at " + Dir());
  EXPECT_EQ(log[1], kStarted);
  // The id at the start of the file, which is not cut.
  const std::string hex = IntToHex(static_cast<uint32_t>(first->Pid()));
  EXPECT_EQ(test::ReadFileBytes("CrawlerLockFile.lock"), hex + std::string(12 - hex.size(), '.'));

  // A work file of the running crawler's is not the second one's to remove.
  test::WriteFileBytes("tmp/4242.html", "in use");
  auto second = Start();
  EXPECT_EQ(second->WaitExit(), 0);
  EXPECT_TRUE(test::HasLogLine(kLockRefused));
  EXPECT_TRUE(FileExists("tmp/4242.html"));
  log = test::ErrorLogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), kStarted), 1);
  EXPECT_EQ(test::ReadFileBytes("CrawlerLockFile.lock"), hex + std::string(12 - hex.size(), '.'));
  EXPECT_TRUE(first->Running());

  first->Signal(SIGINT);  // a close request like any other
  EXPECT_EQ(first->WaitExit(), 0);
}

TEST_F(TovfetchTest, WithoutALockFileItEndsWithoutStarting) {
  ASSERT_TRUE(DeleteFile("CrawlerLockFile.lock"));
  test::WriteFileBytes("tmp/4242.html", "maybe another crawler's");
  auto crawler = Start();
  EXPECT_EQ(crawler->WaitExit(), 0);
  EXPECT_TRUE(test::HasLogLine(kLockRefused));
  EXPECT_FALSE(test::HasLogLine(kStarted));
  EXPECT_FALSE(FileExists("CrawlerLockFile.lock"));  // never created by the program
  EXPECT_TRUE(FileExists("tmp/4242.html"));           // not removed without the lock
}

TEST_F(TovfetchTest, AnswersTheAttachReportsItsHeartbeatAndStartsThreadsOnKindSetCrawlers) {
  auto monitor = StartMonitor({"--flags", "1"});  // replays the block's last record on attach
  auto crawler = StartAndWait();
  ASSERT_EQ(monitor->WaitLine("connect"), "connect 1");
  EXPECT_EQ(monitor->Ask("current", "current"),
            "current " + std::to_string(crawler->Pid()) + " " + Caption(crawler->Pid()));
  // The replayed record of a fresh block is all zeros: an unknown kind.
  EXPECT_TRUE(WaitForLogLine("ukjent flag"));

  EXPECT_EQ(monitor->WaitLine(SignalPrefix(KindThreadCount)), SignalLine(KindThreadCount, 0, "0"));  // no thread
  const size_t mark = monitor->LineCount();
  SendToCrawler(*monitor, *crawler, KindSetCrawlers, "1");
  EXPECT_EQ(monitor->WaitLine(SignalLine(KindThreadCount, 0, "1"), mark), SignalLine(KindThreadCount, 0, "1"));

  SendToCrawler(*monitor, *crawler, kNoSuchKind, "what");
  EXPECT_TRUE(WaitForLogLine("ukjent flagwhat"));
  EXPECT_TRUE(crawler->Running());
  // Its download thread waits for a page on the empty queue; the orderly
  // shut-down would wait 20 s for it, so this case ends the way the
  // monitor's restart does.
}

TEST_F(TovfetchTest, ShutsDownInOrderOnKindExitAndTheQueueComesBackAtTheNextStart) {
  const std::vector<UrlInfo> pages{Page("http://127.0.0.2:8081/a"), Page("http://127.0.0.2:8081/robots.txt", "robottxt"),
                                   Page("http://127.0.0.2:8081/c", "crawl", true)};
  const std::string saved = SideFileBytes(pages);
  test::WriteFileBytes("SideFile.dat", saved);

  auto monitor = StartMonitor();
  auto crawler = StartAndWait();
  EXPECT_FALSE(FileExists("SideFile.dat"));  // loaded into the queue
  ASSERT_EQ(monitor->WaitLine("connect"), "connect 1");
  SendToCrawler(*monitor, *crawler, KindExit);
  EXPECT_EQ(crawler->WaitExit(), 0);
  EXPECT_TRUE(test::HasLogLine("Askt to exit"));
  EXPECT_EQ(test::ReadFileBytes("SideFile.dat"), saved);
  EXPECT_FALSE(test::HasLogLine("SendingInProgres whiled exit"));
  EXPECT_FALSE(test::HasLogLine("ResivingInProgres whiled exit"));

  // The next start takes the same pages up again; SIGTERM closes it the same
  // way. Work files a killed run left are removed once the lock is held.
  test::WriteFileBytes("ErrorLog.txt", "");
  test::WriteFileBytes("tmp/4242.html", "left by a killed crawler");
  test::WriteFileBytes("tmp/notes.txt", "the user's");
  auto again = StartAndWait();
  EXPECT_FALSE(FileExists("SideFile.dat"));
  EXPECT_FALSE(FileExists("tmp/4242.html"));
  EXPECT_TRUE(FileExists("tmp/notes.txt"));
  EXPECT_TRUE(test::HasLogLine("Removed 1 work file that an earlier run left in tmp"));
  again->Signal(SIGTERM);
  EXPECT_EQ(again->WaitExit(), 0);
  EXPECT_EQ(test::ReadFileBytes("SideFile.dat"), saved);
}

TEST_F(TovfetchTest, ReReadsTheUserInfoOnKindSetUserInfo) {
  ConfigData config = ReadConfigFile("Config.bin");
  config.UserName = "olduser";
  config.UserPassword = "oldpass";
  config.TeamName = "oldteam";
  WriteConfigFile("Config.bin", config);
  // More than 500 entries waiting for a storage server that is not up yet:
  // the sender keeps trying to connect and forms its header once it can.
  std::string entries;
  for (int n = 0; n < 501; ++n) entries += EncodeSideFileEntry(test::MakeThumbnaleData(n, "127.0.0.7", 20, 0, nullptr));
  test::WriteFileBytes("sqtemp/127.0.0.7", entries);

  auto monitor = StartMonitor();
  auto crawler = StartAndWait();
  ASSERT_EQ(monitor->WaitLine("connect"), "connect 1");
  config.UserName = "newuser";
  config.UserPassword = "newpass";
  config.TeamName = "newteam";
  config.DedicatedServer = true;  // read only at start-up
  config.DedicatedServerName = "dedicated";
  WriteConfigFile("Config.bin", config);
  SendToCrawler(*monitor, *crawler, KindSetUserInfo);
  SendToCrawler(*monitor, *crawler, kNoSuchKind, "after5");
  ASSERT_TRUE(WaitForLogLine("ukjent flagafter5"));  // KindSetUserInfo has been handled

  test::StandInStorageServer storage(Dir() + "/received", {"127.0.0.7"});
  ASSERT_TRUE(storage.Ready());
  ASSERT_TRUE(WaitUntil([&] { return storage.CountUploads() >= 1; }, 30000));
  const test::StorageUpload upload = storage.Uploads().at(0);
  EXPECT_EQ(upload.UserName, "newuser");
  EXPECT_EQ(upload.UserPassword, "newpass");
  EXPECT_EQ(upload.TeamName, "newteam");
  EXPECT_EQ(upload.DedicatedFlag, "0");
  EXPECT_EQ(upload.Entries.Entries.size(), 501u);

  SendToCrawler(*monitor, *crawler, KindExit);
  EXPECT_EQ(crawler->WaitExit(), 0);
}

TEST_F(TovfetchTest, ShowsAndHidesItsWindowOnKindShowFormAndKindHideForm) {
  test::PrivateDisplay display(1280, 1024);
  ASSERT_FALSE(display.Display().empty()) << "Xvfb could not be started";
  auto monitor = StartMonitor();
  auto crawler = StartAndWait(display.Display());
  ASSERT_EQ(monitor->WaitLine("connect"), "connect 1");
  const std::string caption = Caption(crawler->Pid());
  auto mapped = [&] { return display.WindowInfo(caption).find("Map State: IsViewable") != std::string::npos; };
  EXPECT_FALSE(mapped());  // hidden at start

  SendToCrawler(*monitor, *crawler, KindShowForm);
  ASSERT_TRUE(WaitUntil(mapped, 10000));
  const std::string info = display.WindowInfo(caption);
  // The only crawler: at the top, from the middle of the screen.
  EXPECT_NE(info.find("Absolute upper-left X:  640\n"), std::string::npos) << info;
  EXPECT_NE(info.find("Absolute upper-left Y:  10\n"), std::string::npos) << info;

  SendToCrawler(*monitor, *crawler, KindHideForm);
  EXPECT_TRUE(WaitUntil([&] { return !mapped(); }, 10000));
  SendToCrawler(*monitor, *crawler, KindExit);
  EXPECT_EQ(crawler->WaitExit(), 0);
}

TEST_F(TovfetchTest, WhenTheLinkIsFullItLogsAndEndsWithoutDialogWait) {
  std::vector<std::unique_ptr<LinkPeer>> clients;
  for (int i = 1; i <= 6; ++i) {
    clients.push_back(std::make_unique<LinkPeer>(std::vector<std::string>{"client", "pid", "c"}));
    ASSERT_EQ(clients.back()->WaitLine("ready"), "ready");
  }
  auto crawler = Start();
  EXPECT_EQ(crawler->WaitExit(), 0);
  EXPECT_TRUE(test::HasLogLine("Can`t start IPC Client"));
  EXPECT_FALSE(test::HasLogLine(kStarted));
  EXPECT_NE(crawler->Stderr().find("Maximum of 6 clients allowed"), std::string::npos) << crawler->Stderr();
}

// Moved by TOV_IPC_DIR or in the home, a link folder that is not the user's
// alone ends it with lines that say which folder and how to move it.
TEST_F(TovfetchTest, AnUnusableLinkFolderEndsItWithLinesThatNameTheFolderAndTheVariable) {
  test::ForEachUnusableLinkFolder(Dir(), [&](const std::string& path, const std::string& what) {
    test::WriteFileBytes("ErrorLog.txt", "");
    auto crawler = Start();
    EXPECT_EQ(crawler->WaitExit(), 0);
    const std::string text = "Link folder " + path + " " + what + "; set TOV_IPC_DIR to a folder of your own to move it";
    EXPECT_EQ(test::ErrorLogMessages(),
              (std::vector<std::string>{"Tovfetch Starting at " + Dir(), "Can`t start IPC Client", text}));
    EXPECT_NE(crawler->Stderr().find(text), std::string::npos) << crawler->Stderr();
  });
}

TEST_F(TovfetchTest, WithoutSettingsItStaysIdleAndKeepsTheSavedQueue) {
  ASSERT_TRUE(DeleteFile("Config.bin"));
  const std::string saved = SideFileBytes({Page("http://127.0.0.2:8081/a"), Page("http://127.0.0.2:8081/b")});
  test::WriteFileBytes("SideFile.dat", saved);
  auto monitor = StartMonitor();
  auto crawler = Start();
  const std::string refused = "Tovfetch can't crawl: the settings file Config.bin can't be read (File not found).";
  ASSERT_TRUE(WaitForLogLine(refused)) << crawler->Stderr();
  EXPECT_NE(crawler->Stderr().find(refused), std::string::npos) << crawler->Stderr();
  ASSERT_EQ(monitor->WaitLine("connect"), "connect 1");
  SendToCrawler(*monitor, *crawler, KindExit);
  EXPECT_EQ(crawler->WaitExit(), 0);
  EXPECT_FALSE(test::HasLogLine(kStarted));
  EXPECT_EQ(test::ReadFileBytes("SideFile.dat"), saved);  // not emptied by a save of a queue never loaded
}

// The page road end to end: the saved pages are fetched from the web site,
// each is reported to the monitor and queued for its storage server.
TEST_F(TovfetchTest, CrawlsThePagesAndReportsEachToTheMonitor) {
  test::StandInWebSite site({"127.0.0.2"});
  ASSERT_TRUE(site.Ready());
  test::WriteFileBytes("SideFile.dat",
                       SideFileBytes({Page(site.Url("/page.html")), Page(site.Url("/missing")),
                                      Page(site.Url("/robots.txt"), "robottxt")}));

  auto monitor = StartMonitor();
  auto crawler = StartAndWait();
  ASSERT_EQ(monitor->WaitLine("connect"), "connect 1");
  SendToCrawler(*monitor, *crawler, KindSetCrawlers, "1");
  EXPECT_EQ(monitor->WaitLine(SignalPrefix(KindUrlOk)), SignalLine(KindUrlOk));          // a crawl page, status 200
  EXPECT_EQ(monitor->WaitLine(SignalPrefix(KindUrlError)), SignalLine(KindUrlError));    // a crawl page, status 404
  EXPECT_EQ(monitor->WaitLine(SignalPrefix(KindRobotsTxt)), SignalLine(KindRobotsTxt));  // robots.txt
  ASSERT_TRUE(WaitUntil([] {
    const std::string bytes = test::ReadFileBytes("sqtemp/127.0.0.3");
    return DecodeSideFileEntries(bytes).Entries.size() == 3;
  }, 30000));
  const auto entries = DecodeSideFileEntries(test::ReadFileBytes("sqtemp/127.0.0.3")).Entries;
  EXPECT_EQ(entries[0].Head.Status, "200");
  EXPECT_EQ(entries[0].Head.PeerIP, "127.0.0.2");
  EXPECT_EQ(test::InflatePage(entries[0].Html), test::StandInWebSite::PageHtml());
  EXPECT_EQ(entries[1].Head.Status, "404");
  EXPECT_EQ(entries[2].Head.DocID, "");
  EXPECT_EQ(test::InflatePage(entries[2].Html), test::StandInWebSite::RobotsTxt());
}

// Run under a umask that would leave its files open to every local user.
TEST_F(TovfetchTest, EveryFileItCreatesIsTheUsersAloneWhateverTheUmask) {
  test::StandInWebSite site({"127.0.0.2"});
  ASSERT_TRUE(site.Ready());
  ASSERT_FALSE(FileExists("ErrorLog.txt"));
  // The page queue it loads, and deletes; the one it saves at the end is new.
  test::WriteFileBytes("SideFile.dat", SideFileBytes({Page(site.Url("/page.html"), "crawl", true)}));

  test::ScopedUmask open_umask(0);
  auto monitor = StartMonitor();
  auto crawler = StartAndWait();
  EXPECT_FALSE(FileExists("SideFile.dat"));
  ASSERT_EQ(monitor->WaitLine("connect"), "connect 1");
  SendToCrawler(*monitor, *crawler, KindSetCrawlers, "1");
  EXPECT_EQ(monitor->WaitLine(SignalPrefix(KindUrlOk)), SignalLine(KindUrlOk));
  // Each kind of file it made, with its mode.
  std::vector<std::pair<std::string, int>> made;
  // The download thread keeps its work file only until it leaves.
  for (const auto& e : std::filesystem::directory_iterator("tmp")) {
    made.emplace_back(e.path().string(), test::PermissionsOf(e.path().string()));
  }
  ASSERT_EQ(made.size(), 1u);
  SendToCrawler(*monitor, *crawler, KindExit);
  EXPECT_EQ(crawler->WaitExit(), 0);
  for (const char* path : {"sqtemp/127.0.0.3", "SideFile.dat", "ErrorLog.txt"}) {
    made.emplace_back(path, test::PermissionsOf(path));
  }
  for (const auto& [path, mode] : made) EXPECT_EQ(mode, 0600) << path;
}

TEST_F(TovfetchTest, ARestartTimeOfOneMinuteClosesItByItself) {
  ConfigData config = ReadConfigFile("Config.bin");
  config.CrawlerRestartTime = 1;
  WriteConfigFile("Config.bin", config);
  auto crawler = StartAndWait();
  EXPECT_EQ(crawler->WaitExit(120000), 0);
  EXPECT_FALSE(test::HasLogLine("Askt to exit"));
  EXPECT_TRUE(FileExists("SideFile.dat"));
}

}  // namespace
}  // namespace tov
