// The crawler window on Qt's offscreen platform: its controls, the memo and
// counters (shown or hidden), the monitor's commands, the fatal-error box, the
// exception hook, and the records NotifyMonitor sends to a real monitor
// (the link test program). The whole start-up runs in the end-to-end tests.
#include "crawler/TovfetchMain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "common/Config.h"
#include "common/MessageKinds.h"
#include "crawler/CrawlerEngine.h"
#include "platform/GuiApplication.h"
#include "platform/SysUtils.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::WaitUntil;

char kName[] = "crawler_window_tests";
char* kArgv[] = {kName, nullptr};
int g_argc = 1;

std::unique_ptr<TApplication> HeadlessApp() {
  ::unsetenv("QT_QPA_PLATFORM");
  ::unsetenv("WAYLAND_DISPLAY");
  ::unsetenv("DISPLAY");
  return std::make_unique<TApplication>(g_argc, kArgv);
}

using test::ErrorLogMessages;

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = HeadlessApp();
    form = std::make_unique<TMainForm>();
    MainForm = form.get();
    WantedThreads = 5;
  }
  void TearDown() override {
    MainForm = nullptr;
    form.reset();
    app.reset();
  }
  std::vector<std::string> MemoLines() const {
    std::vector<std::string> lines;
    for (const QString& l : form->Memo1->toPlainText().split('\n')) lines.push_back(l.toStdString());
    return lines;
  }
  void Process() { QCoreApplication::processEvents(); }
  // Runs fn on a thread of its own, as the link thread runs the handlers.
  void OnOtherThread(const std::function<void()>& fn) { std::thread(fn).join(); }
  void ShowForm() {
    form->show();
    Process();
    ASSERT_TRUE(form->Shown());
  }

  test::FreshEngineState engine_state;
  test::PrivateLinkDir dir;
  std::unique_ptr<TApplication> app;
  std::unique_ptr<TMainForm> form;
};

TEST_F(MainFormTest, StartsHiddenWithTheControlsOfItsResource) {
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->Shown());
  EXPECT_EQ(form->size(), QSize(TMainForm::kWidth, TMainForm::kHeight));
  EXPECT_EQ(MemoLines(), std::vector<std::string>{"Memo1"});
  EXPECT_EQ(form->Label2->text(), "UrlsInQueue:");
  EXPECT_EQ(form->Label1->text(), "UrlsInStorageQueue:");
  EXPECT_EQ(form->Label3->text(), "Treads");
  for (QLabel* value : {form->UrlsInQueue, form->UrlsInStorageQueue, form->RuningTreads}) EXPECT_EQ(value->text(), "0");
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_FALSE(form->Timer2->isActive());
  EXPECT_FALSE(form->Timer3->isActive());
  EXPECT_EQ(form->Timer1->interval(), 0);
  EXPECT_EQ(form->Timer2->interval(), 60000);
  EXPECT_EQ(form->Timer3->interval(), 1000);
}

TEST(MainFormCaption, IsTitleVersionAndUpperCaseHexProcessId) {
  EXPECT_EQ(MainFormCaption("Tovfetch", 4660), "Tovfetch (v 0.82) - 1234");
  EXPECT_EQ(MainFormCaption("Tovfetch", 0xBEEF), "Tovfetch (v 0.82) - BEEF");
}

TEST(PlaceInGrid, FillsColumnsFromTheMiddleOfTheScreenDownwards) {
  struct Case {
    int screen_w, screen_h, n;
    TWindowPlace want;
  };
  const Case cases[] = {
      {1280, 1400, 0, {640, 10}},   // the first crawler: top, middle
      {1280, 1400, 1, {640, 697}},  // one window height plus 10 lower
      {1280, 1400, 2, {1153, 10}},  // two rows fit: the next column
      {1280, 1024, 1, {1153, 10}},  // one row fits
      {1024, 600, 1, {1025, 10}},   // lower than a window: still one row
      {1280, 1400, -1, {640, 10}},  // not registered: placed as the first
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PlaceInGrid(c.screen_w, c.screen_h, TMainForm::kWidth, TMainForm::kHeight, c.n), c.want)
        << c.screen_w << "x" << c.screen_h << " n=" << c.n;
  }
}

TEST_F(MainFormTest, MemoLinesAreDroppedWhileHiddenAndArriveFromAnyThreadWhileShown) {
  LogToMemo("while hidden");
  OnOtherThread([] { LogToMemo("hidden, other thread"); });
  Process();
  EXPECT_EQ(MemoLines(), std::vector<std::string>{"Memo1"});

  ShowForm();
  LogToMemo("window thread");
  OnOtherThread([] { LogToMemo("engine thread"); });
  ASSERT_TRUE(WaitUntil([&] {
    Process();
    return MemoLines().size() == 3;
  }));
  EXPECT_EQ(MemoLines(), (std::vector<std::string>{"Memo1", "window thread", "engine thread"}));

  form->hide();
  LogToMemo("hidden again");
  Process();
  EXPECT_EQ(MemoLines().size(), 3u);
  EXPECT_TRUE(ErrorLogMessages().empty());  // memo lines never reach the error log
}

TEST_F(MainFormTest, TimersChangeNothingWhileHidden) {
  RunningThreads = 12;
  SideFilePending = 7;
  form->Timer2Timer();
  form->Timer3Timer();
  EXPECT_EQ(MemoLines(), std::vector<std::string>{"Memo1"});
  EXPECT_EQ(form->RuningTreads->text(), "0");
  EXPECT_EQ(form->UrlsInStorageQueue->text(), "0");

  ShowForm();
  form->Timer3Timer();
  EXPECT_EQ(form->RuningTreads->text(), "12");
  EXPECT_EQ(form->UrlsInStorageQueue->text(), "7");
  EXPECT_EQ(form->UrlsInQueue->text(), "0");
  form->Timer2Timer();
  EXPECT_EQ(MemoLines(), std::vector<std::string>{"clearing log"});
}

TEST_F(MainFormTest, HoltErrorActsOnceAndAsksToClose) {
  testing::internal::CaptureStderr();
  HoltError("first");
  HoltError("second");
  const std::string err = testing::internal::GetCapturedStderr();
  Process();  // the close request

  EXPECT_EQ(ErrorLogMessages(), std::vector<std::string>{"HoltError: first"});
  EXPECT_NE(err.find(": Error: first The crawler will now exit.\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("second"), std::string::npos) << err;
  EXPECT_EQ(CountOf(MemoLines(), "exiting"), 1);
  // Without an engine there is nothing to save: the close request ends the program.
  EXPECT_TRUE(form->TerminateRequested());
}

TEST_F(MainFormTest, AppExceptionLogsOurExceptionsByClassAndShowsTheRest) {
  ShowForm();
  struct Case {
    std::exception_ptr error;
    std::string log;
    bool box;
  };
  const Case cases[] = {
      {std::make_exception_ptr(EConvertError("bad")), "Error: EConvertError", false},
      {std::make_exception_ptr(std::runtime_error("std")), "Error: Exception", false},
      {std::make_exception_ptr(EAbort()), "Error: not Exception or not EAbort", true},
      {std::make_exception_ptr(42), "Error: not Exception or not EAbort", true},
  };
  for (const Case& c : cases) {
    test::WriteFileBytes("ErrorLog.txt", "");
    testing::internal::CaptureStderr();
    form->AppException(nullptr, c.error);
    const std::string err = testing::internal::GetCapturedStderr();
    Process();
    EXPECT_EQ(ErrorLogMessages(), std::vector<std::string>{c.log});
    EXPECT_EQ(!err.empty(), c.box) << c.log << ": " << err;
    EXPECT_EQ(CountOf(MemoLines(), c.log), c.box ? 0 : 1) << c.log;
  }
}

TEST_F(MainFormTest, TheHookReceivesExceptionsThatEscapeEventHandlers) {
  SetApplicationExceptionHook([this](void* sender, std::exception_ptr e) { form->AppException(sender, e); });
  QTimer::singleShot(0, form.get(), [] { throw EInvalidOp("in a handler"); });
  ASSERT_TRUE(WaitUntil([&] {
    Process();
    return !ErrorLogMessages().empty();
  }));
  EXPECT_EQ(ErrorLogMessages(), std::vector<std::string>{"Error: EInvalidOp"});
}

TEST_F(MainFormTest, MonitorCommandsOnTheLinkThread) {
  ShowForm();
  auto signal = [&](int32_t kind, const std::string& text) {
    TIPCEventData data;
    data.Kind = kind;
    data.Text = text;
    OnOtherThread([&] {
      try {
        form->IPCSignal(nullptr, data);
      } catch (...) {
      }
    });
    Process();
  };

  constexpr int32_t kNoSuchKind = 99;
  signal(KindSetCrawlers, "0");
  EXPECT_EQ(WantedThreads, 0);
  signal(kNoSuchKind, "abc");
  signal(KindNone, "");
  signal(KindSetCrawlers, "seven");  // refused: the conversion error is logged
  EXPECT_EQ(WantedThreads, 0);
  signal(KindHideForm, "");
  EXPECT_FALSE(form->isVisible());
  signal(KindShowForm, "");
  EXPECT_TRUE(form->isVisible());

  ConfigData config;
  config.UserName = "anne";
  config.UserPassword = "secret";
  config.TeamName = "team\xE6";
  config.DedicatedServerName = "ignored";
  auto bytes = EncodeConfig(config);
  test::WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
  signal(KindSetUserInfo, "");
  const TUserInfo user = CurrentUserInfo();
  EXPECT_EQ(user.UserName, "anne");
  EXPECT_EQ(user.UserPassword, "secret");
  EXPECT_EQ(user.TeamName, "team\xE6");

  ASSERT_TRUE(WaitUntil([&] {
    Process();
    return CountOf(MemoLines(), "Set User Info") == 1;
  }));
  const std::vector<std::string> memo = MemoLines();
  EXPECT_EQ(CountOf(memo, "signal"), 6);  // the one sent while hidden is dropped
  EXPECT_EQ(CountOf(memo, "SetCrawlers: 0"), 1);
  EXPECT_EQ(CountOf(memo, "ukjent flagabc"), 1);
  EXPECT_EQ(CountOf(memo, "ukjent flag"), 1);
  EXPECT_EQ(CountOf(memo, "SetCrawlers: seven"), 1);
  EXPECT_EQ(CountOf(memo, "Hide form"), 1);
  EXPECT_EQ(CountOf(memo, "show form"), 0);  // logged while hidden

  signal(KindExit, "");
  EXPECT_EQ(CountOf(MemoLines(), "exiting"), 1);
  EXPECT_TRUE(form->TerminateRequested());

  const std::vector<std::string> log = ErrorLogMessages();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "ukjent flagabc");
  EXPECT_EQ(log[1], "ukjent flag");
  EXPECT_EQ(log[2].rfind("IPCSignal kind " + IntToStr(KindSetCrawlers) + ": EConvertError: ", 0), 0u) << log[2];
  EXPECT_EQ(log[3], "Askt to exit");
}

// Only the files a download thread makes are removed: regular files of this
// user in tmp named "<thread id>.html"; nothing through a symbolic link.
TEST_F(MainFormTest, WorkFilesLeftByAnEarlierRunAreRemovedAndNothingElse) {
  enum Kind { kFile, kLink, kFolder, kFifo, kForeign };
  struct Case {
    std::string name;
    Kind kind;
    bool removed;
  };
  const Case cases[] = {
      {"4242.html", kFile, true},
      {"1.html", kFile, true},
      {"4294967295.html", kFile, true},
      {"12345678901.html", kFile, false},  // longer than any thread id
      {"0.html", kFile, false},
      {"0042.html", kFile, false},
      {".html", kFile, false},
      {"42.htm", kFile, false},
      {"42.HTML", kFile, false},
      {"42.html.bak", kFile, false},
      {"x42.html", kFile, false},
      {"-42.html", kFile, false},
      {"4 2.html", kFile, false},
      {"notes.txt", kFile, false},
      {"77.html", kLink, false},  // to a file outside tmp
      {"88.html", kFolder, false},
      {"99.html", kFifo, false},
      {"55.html", kForeign, false},  // another user's (only where the test may give it away)
  };
  const bool root = ::geteuid() == 0;
  ASSERT_EQ(::mkdir("tmp", 0755), 0);
  test::WriteFileBytes("outside.html", "keep me");
  for (const Case& c : cases) {
    if (c.kind == kForeign && !root) continue;
    const std::string path = "tmp/" + c.name;
    switch (c.kind) {
      case kFile: test::WriteFileBytes(path, "left"); break;
      case kLink: ASSERT_EQ(::symlink("../outside.html", path.c_str()), 0); break;
      case kFolder: ASSERT_EQ(::mkdir(path.c_str(), 0755), 0); break;
      case kFifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
      case kForeign:
        test::WriteFileBytes(path, "theirs");
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        break;
    }
  }
  EXPECT_EQ(RemoveLeftoverWorkFiles(GetCurrentDir()), 3);
  for (const Case& c : cases) {
    if (c.kind == kForeign && !root) continue;
    struct stat st {};
    EXPECT_EQ(::lstat(("tmp/" + c.name).c_str(), &st) == 0, !c.removed) << c.name;
  }
  EXPECT_EQ(test::ReadFileBytes("outside.html"), "keep me");
  EXPECT_EQ(ErrorLogMessages(), std::vector<std::string>{"Removed 3 work files that an earlier run left in tmp"});

  // Nothing left to remove: no line.
  test::WriteFileBytes("ErrorLog.txt", "");
  EXPECT_EQ(RemoveLeftoverWorkFiles(GetCurrentDir()), 0);
  EXPECT_TRUE(ErrorLogMessages().empty());
}

// A tmp that is a symbolic link is not followed; a missing one is no error.
TEST_F(MainFormTest, WorkFilesAreNotRemovedThroughALinkedTmpFolder) {
  EXPECT_EQ(RemoveLeftoverWorkFiles(GetCurrentDir()), 0);
  EXPECT_TRUE(ErrorLogMessages().empty());

  ASSERT_EQ(::mkdir("elsewhere", 0755), 0);
  test::WriteFileBytes("elsewhere/4242.html", "not ours to take");
  ASSERT_EQ(::symlink("elsewhere", "tmp"), 0);
  EXPECT_EQ(RemoveLeftoverWorkFiles(GetCurrentDir()), 0);
  EXPECT_EQ(test::ReadFileBytes("elsewhere/4242.html"), "not ours to take");
  EXPECT_EQ(ErrorLogMessages(),
            std::vector<std::string>{"Work files left in tmp are not removed: tmp is a symbolic link"});
}

// A re-read that fails says which file and why, and hands nothing on.
TEST_F(MainFormTest, ASettingsFileThatCannotBeReReadKeepsTheAccount) {
  SetUserInfo("anne", "secret", "team");
  TIPCEventData data;
  data.Kind = KindSetUserInfo;
  test::WriteFileBytes("Config.bin", "short");
  OnOtherThread([&] { form->IPCSignal(nullptr, data); });
  const TUserInfo user = CurrentUserInfo();
  EXPECT_EQ(user.UserName, "anne");
  EXPECT_EQ(user.UserPassword, "secret");
  EXPECT_EQ(ErrorLogMessages(),
            std::vector<std::string>{"Set User Info: the settings file Config.bin can't be read (Read beyond end of "
                                     "file); the account stays as it was"});
}

TEST_F(MainFormTest, NotifyMonitorSendsTheRecordOfEachOutcome) {
  test::LinkPeer monitor({"monitor"});
  ASSERT_EQ(monitor.WaitLine("ready"), "ready");
  IPCClient = TIPCThread::Create<TIPCClient>(static_cast<int32_t>(::getpid()), "crawler");
  IPCClient->Activate();
  ASSERT_EQ(monitor.WaitLine("connect"), "connect 1");
  ASSERT_TRUE(WaitUntil([] { return IPCClient->State() == stConnected; }));
  ShowForm();

  RunningThreads = 12;
  struct Case {
    uint8_t what;
    std::string line;
  };
  const Case cases[] = {{StatUrlOk, test::SignalLine(KindUrlOk)},
                        {StatUrlError, test::SignalLine(KindUrlError)},
                        {StatRobotsTxt, test::SignalLine(KindRobotsTxt)},
                        {StatThreadCount, test::SignalLine(KindThreadCount, 0, "12")}};
  for (const Case& c : cases) {
    const size_t from = monitor.LineCount();
    OnOtherThread([&] { NotifyMonitor(c.what); });
    EXPECT_EQ(monitor.WaitLine("signal", from), c.line) << int{c.what};
  }
  RunningThreads = 0;
  const size_t from = monitor.LineCount();
  SendThreadCount();
  EXPECT_EQ(monitor.WaitLine("signal", from), test::SignalLine(KindThreadCount, 0, "0"));

  // An unknown outcome sends nothing: the next record is the next one sent.
  const size_t before = monitor.LineCount();
  constexpr uint8_t kNoSuchOutcome = 4;
  OnOtherThread([] { NotifyMonitor(kNoSuchOutcome); });
  NotifyMonitor(StatUrlOk);
  EXPECT_EQ(monitor.WaitLine("signal", before), test::SignalLine(KindUrlOk));
  ASSERT_TRUE(WaitUntil([&] {
    Process();
    return CountOf(MemoLines(), "ukjent flag") == 1;
  }));
  IPCClient.reset();
}

}  // namespace
}  // namespace tov
