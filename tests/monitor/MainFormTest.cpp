// The monitor's main window on Qt's offscreen platform, with the link test
// program playing the crawlers over the real link.
#include "monitor/TovwatchUnit1.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Config.h"
#include "common/IpcDirectory.h"
#include "common/IpcLink.h"
#include "platform/GuiApplication.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

using test::LinkPeer;

char kName[] = "monitor_tests";
char* kArgv[] = {kName, nullptr};

std::string Text(const QLabel* label) { return label->text().toStdString(); }

// Caption, enabled and tag of each item of a menu.
std::vector<TClientMenuItem> MenuItems(const QMenu* menu) {
  std::vector<TClientMenuItem> items;
  for (const QAction* a : menu->actions()) items.push_back({a->text().toStdString(), a->data().toInt(), a->isEnabled()});
  return items;
}

// The client items of the Crawlers menu are radio items of one group, and
// none of them is marked.
void ExpectOneRadioGroupNoneMarked(const QMenu* menu) {
  const QActionGroup* group = nullptr;
  for (const QAction* a : menu->actions()) {
    EXPECT_TRUE(a->isCheckable()) << a->text().toStdString();
    EXPECT_FALSE(a->isChecked()) << a->text().toStdString();
    ASSERT_NE(a->actionGroup(), nullptr) << a->text().toStdString();
    if (group == nullptr) group = a->actionGroup();
    EXPECT_EQ(a->actionGroup(), group);
  }
  ASSERT_NE(group, nullptr);
  EXPECT_TRUE(group->isExclusive());  // drawn as radio items
  EXPECT_EQ(group->actions().size(), menu->actions().size());
}

class MainFormTest : public ::testing::Test {
 protected:
  MainFormTest() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (auto* counter : {&UrlsOkCount, &UrlsInErrorCount, &RobotsTxtCount, &MissedHeartbeats, &ReportedCrawlers}) {
      *counter = 0;
    }
    Exiting = false;
    app_ = std::make_unique<TApplication>(argc_, kArgv);
    SetMessageBoxHandler([this](const TMessageBoxRequest& r) {
      boxes_.push_back(r);
      return mbOK;
    });
    SetCrawlerLauncher([this] {
      ++launches_;
      if (launch_result_ < 0) errno = ENOENT;
      return launch_result_;
    });
    ConfigData config;
    config.MaxCrawlers = 12;
    std::array<uint8_t, ConfigData::kSize> bytes = EncodeConfig(config);
    test::WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
  }
  ~MainFormTest() override {
    form_.reset();
    SetCrawlerLauncher(nullptr);
    app_.reset();
  }

  TTovwatchMainForm& Start() {
    form_ = std::make_unique<TTovwatchMainForm>();
    form_->FormCreate();
    return *form_;
  }
  // Runs the window thread's events until pred holds; false after 10 s.
  static bool Pump(const std::function<bool()>& pred) {
    return test::WaitUntil(
        [&] {
          QCoreApplication::processEvents();
          return pred();
        },
        10000);
  }
  // A crawler the monitor has attached, with the status bar showing it.
  std::unique_ptr<LinkPeer> AttachedCrawler(int id, const std::string& name = "Tovfetch") {
    auto peer = std::make_unique<LinkPeer>(std::vector<std::string>{"client", std::to_string(id), name});
    EXPECT_EQ(peer->WaitLine("ready"), "ready");
    EXPECT_TRUE(peer->WaitCount("connect 1", 1));
    // On attach the crawler gets the flag word.
    EXPECT_EQ(peer->WaitLine("signal"), "signal 0 8974 ");
    EXPECT_TRUE(Pump([&] { return Text(form_->StatusBar) == name; }));
    return peer;
  }
  static std::vector<std::string> LogLines() { return test::ReadLines("ErrorLog.txt"); }
  static bool Logged(const std::string& tail) {
    for (const std::string& line : LogLines()) {
      if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) return true;
    }
    return false;
  }

  test::PrivateLinkDir dir_;
  int argc_ = 1;
  std::unique_ptr<TApplication> app_;
  std::unique_ptr<TTovwatchMainForm> form_;
  std::vector<TMessageBoxRequest> boxes_;
  int launches_ = 0;
  int32_t launch_result_ = 4242;
};

TEST_F(MainFormTest, StartUpBuildsTheWindowRegistersTheMonitorAndStartsTheCrawler) {
  TTovwatchMainForm& form = Start();
  EXPECT_EQ(form.windowTitle().toStdString(), TApplication::Title() + " (v 0.82)");
  EXPECT_EQ(form.TrackBar1->maximum(), 12);
  EXPECT_EQ(form.TrackBar1->value(), 0);
  EXPECT_EQ(Text(form.DesiredNrOfCrawlers), "0");
  EXPECT_FALSE(form.ShowUrldownloade->isHidden());
  EXPECT_TRUE(form.HideUrldownloade->isHidden());
  EXPECT_FALSE(form.mi3dGraphs->isChecked());
  EXPECT_EQ(form.Link().ClientFlags(), 0x230E);
  EXPECT_EQ(TClientDirectory(6).GetMonitorID(), CurrentProcessId());
  EXPECT_EQ(launches_, 1);
  EXPECT_TRUE(form.Timer1->isActive());
  EXPECT_EQ(form.Timer1->interval(), 1000);
  ASSERT_FALSE(LogLines().empty());
  EXPECT_TRUE(Logged(": Tovwatch Startet"));

  // The Crawlers menu holds its design-time items until the posted rebuild.
  EXPECT_EQ(MenuItems(form.miClients).size(), 2u);
  EXPECT_TRUE(Pump([&] { return Text(form.StatusBar) == "No Crawler Client"; }));
  EXPECT_TRUE(Pump([&] { return MenuItems(form.miClients) == std::vector<TClientMenuItem>{{"(None)", 0, false}}; }));
  EXPECT_TRUE(boxes_.empty());
}

// A start-up cut short leaves no link monitor, starts no crawler and no tick.
TEST_F(MainFormTest, StartUpEndsBeforeTheCrawlerWithoutSettingsOrWithAnotherMonitor) {
  auto expect_refused = [&](const std::string& text) {
    form_ = std::make_unique<TTovwatchMainForm>();
    try {
      form_->FormCreate();
      ADD_FAILURE() << "FormCreate went through";
    } catch (const EMonitorStartError& e) {
      EXPECT_EQ(e.what(), text);
    }
    EXPECT_EQ(form_->Link().IPCMonitor(), nullptr);
    EXPECT_EQ(launches_, 0);
    EXPECT_FALSE(form_->Timer1->isActive());
    EXPECT_FALSE(Logged("Tovwatch Startet"));
    form_.reset();
  };
  std::string settings = test::ReadFileBytes("Config.bin");
  ::unlink("Config.bin");
  expect_refused("Tovwatch can't start: the settings file Config.bin can't be read (File not found).");
  EXPECT_EQ(TClientDirectory(6).GetMonitorID(), 0);

  test::WriteFileBytes("Config.bin", settings);
  LinkPeer other({"monitor", "pid"});
  ASSERT_EQ(other.WaitLine("ready"), "ready");
  expect_refused("Tovwatch can't start: another monitor is already running.");
  EXPECT_EQ(TClientDirectory(6).GetMonitorID(), other.Pid());
}

TEST_F(MainFormTest, CrawlersMenuListsEveryCrawlerAndNumbersRepeatedNames) {
  TTovwatchMainForm& form = Start();
  ASSERT_TRUE(Pump([&] { return MenuItems(form.miClients) == std::vector<TClientMenuItem>{{"(None)", 0, false}}; }));
  auto first = AttachedCrawler(11);
  EXPECT_TRUE(Pump([&] { return MenuItems(form.miClients) == std::vector<TClientMenuItem>{{"Tovfetch", 11, true}}; }));
  auto second = AttachedCrawler(22);
  EXPECT_TRUE(Pump([&] {
    return MenuItems(form.miClients) == std::vector<TClientMenuItem>{{"Tovfetch", 11, true}, {"Tovfetch (2)", 22, true}};
  }));
  for (const QAction* a : form.miClients->actions()) EXPECT_FALSE(a->isChecked());
  ExpectOneRadioGroupNoneMarked(form.miClients);
  EXPECT_EQ(second->Quit(), 0);
  EXPECT_EQ(first->Quit(), 0);
  EXPECT_TRUE(Pump([&] { return MenuItems(form.miClients) == std::vector<TClientMenuItem>{{"(None)", 0, false}}; }));
  EXPECT_TRUE(Pump([&] { return Text(form.StatusBar) == "No Crawler Client"; }));
}

TEST_F(MainFormTest, ClickingAnotherCrawlerSwitchesAndTheCurrentOneDoesNothing) {
  TTovwatchMainForm& form = Start();
  auto a = AttachedCrawler(11, "A");
  auto b = AttachedCrawler(22, "B");  // the monitor moves to the newest crawler
  ASSERT_TRUE(a->WaitCount("connect 0", 1));
  ASSERT_TRUE(Pump([&] { return form.miClients->actions().size() == 2; }));
  QAction* item_a = form.miClients->actions()[0];
  QAction* item_b = form.miClients->actions()[1];

  // A switch request is written into the monitor's block at once; none comes.
  TIPCEvent monitor_event(nullptr, "MONITOR_EVENT", false);
  item_b->trigger();
  EXPECT_NE(monitor_event.GetKind(), evClientSwitch);
  EXPECT_EQ(form.Link().IPCMonitor()->CurrentClientID(), 22);

  item_a->trigger();
  EXPECT_TRUE(a->WaitCount("connect 1", 2));
  EXPECT_TRUE(b->WaitCount("connect 0", 1));
  EXPECT_TRUE(Pump([&] { return form.Link().IPCMonitor()->CurrentClientID() == 11 && Text(form.StatusBar) == "A"; }));
  // A click marks no item.
  ExpectOneRadioGroupNoneMarked(form.miClients);
}

TEST_F(MainFormTest, CrawlerReportsMoveTheCounters) {
  TTovwatchMainForm& form = Start();
  auto crawler = AttachedCrawler(11);

  // The link holds one record at a time: each report is awaited before the next.
  struct Report {
    std::string signal;
    std::function<bool()> counted;
  };
  std::vector<Report> reports = {
      {"signal 8", [] { return UrlsOkCount == 1; }},
      {"signal 8", [] { return UrlsOkCount == 2; }},
      {"signal 9", [] { return UrlsInErrorCount == 1; }},
      {"signal 10", [] { return RobotsTxtCount == 1; }},
  };
  for (const Report& r : reports) {
    crawler->Ask(r.signal, "done");
    EXPECT_TRUE(test::WaitUntil(r.counted)) << r.signal;
  }
  MissedHeartbeats = 5;
  crawler->Ask("signal 13 7", "done");
  EXPECT_TRUE(test::WaitUntil([] { return ReportedCrawlers == 7; }));
  EXPECT_EQ(MissedHeartbeats, 0);

  // A heartbeat whose text is not a number still counts as a heartbeat.
  MissedHeartbeats = 3;
  crawler->Ask("signal 13 seven", "done");
  EXPECT_TRUE(test::WaitUntil([] { return Logged(": Heartbeat whose thread count is not a number: seven"); }));
  EXPECT_EQ(MissedHeartbeats, 0);
  EXPECT_EQ(ReportedCrawlers, 7);
  crawler->Ask("signal 8", "done");  // the link thread goes on
  EXPECT_TRUE(test::WaitUntil([] { return UrlsOkCount == 3; }));

  EXPECT_EQ(UrlsInErrorCount, 1);
  EXPECT_EQ(RobotsTxtCount, 1);
  // The labels are the tick's to write.
  EXPECT_EQ(Text(form.URLsOk), "0");
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainFormTest, UnknownKindShowsTheBoxOnTheWindowThread) {
  Start();
  auto crawler = AttachedCrawler(11);
  crawler->Ask("signal 42 x", "done");
  ASSERT_TRUE(Pump([&] { return !boxes_.empty(); }));
  EXPECT_EQ(boxes_[0].Text, "ukjent flag");
  EXPECT_TRUE(Logged(": ukjent flag 42"));
  EXPECT_EQ(UrlsOkCount + UrlsInErrorCount + RobotsTxtCount, 0);
}

TEST_F(MainFormTest, ShowAndHideButtonsSendTheirKindsAndTakeTurns) {
  TTovwatchMainForm& form = Start();
  int options_shown = 0;
  form.ShowOptionsDialog = [&] { ++options_shown; };
  auto crawler = AttachedCrawler(11);
  struct Step {
    std::function<void()> act;
    std::string sent;
    bool show_visible;
  };
  std::vector<Step> steps = {
      {[&] { form.ShowUrldownloade->click(); }, "signal 6 0 ", false},
      {[&] { form.HideUrldownloade->click(); }, "signal 7 0 ", true},
      {[&] { form.ShowUrldownloade->click(); }, "signal 6 0 ", false},
      {[&] { form.miOptions->trigger(); }, "signal 5 0 ", true},
  };
  for (const Step& s : steps) {
    size_t mark = crawler->LineCount();
    s.act();
    EXPECT_EQ(crawler->WaitLine("signal", mark), s.sent);
    EXPECT_EQ(form.ShowUrldownloade->isHidden(), !s.show_visible) << s.sent;
    EXPECT_EQ(form.HideUrldownloade->isHidden(), s.show_visible) << s.sent;
  }
  EXPECT_EQ(options_shown, 1);
}

// Every way out sends KindExit with the track bar's position, and no crawler
// is started afterwards.
class ExitTest : public MainFormTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ExitTest, SendsKindExitWithThePosition) {
  TTovwatchMainForm& form = Start();
  form.show();
  auto crawler = AttachedCrawler(11);
  form.TrackBar1->setValue(3);
  EXPECT_EQ(crawler->WaitLine("signal 11"), "signal 11 0 3");
  EXPECT_EQ(Text(form.DesiredNrOfCrawlers), "3");
  size_t mark = crawler->LineCount();
  form.TrackBar1->setValue(40);  // held at the maximum from the settings
  EXPECT_EQ(crawler->WaitLine("signal 11", mark), "signal 11 0 12");

  std::string way = GetParam();
  if (way == "menu") form.miExit->trigger();
  if (way == "close box") form.close();
  if (way == "tray pop-up") form.Open1->trigger();
  EXPECT_EQ(crawler->WaitLine("signal 12"), "signal 12 0 12");
  EXPECT_TRUE(Exiting);
  EXPECT_FALSE(form.isVisible());
  form.StartCrawler();
  EXPECT_EQ(launches_, 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, ExitTest, ::testing::Values("menu", "close box", "tray pop-up"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::erase(name, ' ');
                           std::erase(name, '-');
                           return name;
                         });

TEST_F(MainFormTest, CrawlerThatCannotBeStartedIsReportedOncePerAttempt) {
  launch_result_ = -1;
  TTovwatchMainForm& form = Start();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].Text, "Couldn't execute the application");
  EXPECT_EQ(boxes_[0].Caption, "Error");
  EXPECT_EQ(boxes_[0].Type, TMsgDlgType::mtWarning);
  EXPECT_EQ(boxes_[0].Buttons, static_cast<TMsgDlgButtons>(mbOK));
  EXPECT_TRUE(Logged(": Tovwatch Startet"));
  form.StartCrawler();
  EXPECT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(launches_, 2);
}

TEST_F(MainFormTest, TrayClicksAndPopUpItemsShowAndHideTheWindow) {
  TTovwatchMainForm& form = Start();
  form.show();
  form.WMTrayIcon(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(form.isVisible());
  form.WMTrayIcon(QSystemTrayIcon::Context);  // the pop-up menu's business
  EXPECT_FALSE(form.isVisible());
  form.WMTrayIcon(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(form.isVisible());
  form.Hide1->trigger();
  EXPECT_FALSE(form.isVisible());
  form.Exit2->trigger();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.TrayIcon->contextMenu(), form.PopupMenu1);
  std::vector<std::string> popup;
  for (const QAction* a : form.PopupMenu1->actions()) popup.push_back(a->text().toStdString());
  EXPECT_EQ(popup, (std::vector<std::string>{"Hide", "Show", "Exit"}));
}

// Minimized, the window goes to the tray only when the settings ask for it
// and there is a tray icon to bring it back.
TEST_F(MainFormTest, MinimizeHidesTheWindowOnlyWithTheSettingAndATray) {
  struct Case {
    bool minimize_to_status_bar;
    bool tray;
    bool hidden;
  };
  for (const Case c : {Case{true, true, true}, Case{false, true, false}, Case{true, false, false}}) {
    ConfigData config;
    config.MinimizeToStatusBar = c.minimize_to_status_bar;
    std::array<uint8_t, ConfigData::kSize> bytes = EncodeConfig(config);
    test::WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
    struct Form : TTovwatchMainForm {
      void SetTray(bool on) { tray_available_ = on; }
    };
    auto form = std::make_unique<Form>();
    form->FormCreate();
    form->SetTray(c.tray);
    form->show();
    form->showMinimized();
    QCoreApplication::processEvents();  // runs the hide that the minimize queued
    EXPECT_EQ(form->isHidden(), c.hidden) << c.minimize_to_status_bar << c.tray;
    form->WMTrayIcon(QSystemTrayIcon::Trigger);  // back, and no longer minimized
    if (c.hidden) {
      EXPECT_TRUE(form->isVisible());
      EXPECT_FALSE(form->isMinimized());
    }
  }
}

TEST_F(MainFormTest, ThreeDimensionalGraphsItemTogglesItsMarkAndBothCharts) {
  TTovwatchMainForm& form = Start();
  form.mi3dGraphs->trigger();
  EXPECT_TRUE(form.mi3dGraphs->isChecked());
  EXPECT_TRUE(form.Chart1->View3D());
  EXPECT_TRUE(form.Chart2->View3D());
  form.mi3dGraphs->trigger();
  EXPECT_FALSE(form.mi3dGraphs->isChecked());
  EXPECT_FALSE(form.Chart1->View3D());
  EXPECT_FALSE(form.Chart2->View3D());
}

}  // namespace
}  // namespace tov
