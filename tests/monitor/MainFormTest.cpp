// The monitor's main window on Qt's offscreen platform, with the link test
// program playing the crawlers over the real link, and its supervision tick.
#include "monitor/TovwatchUnit1.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Config.h"
#include "common/IpcDirectory.h"
#include "common/IpcLink.h"
#include "common/MessageKinds.h"
#include "monitor/InterfaceStats.h"
#include "monitor/Supervision.h"
#include "platform/GuiApplication.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

using test::LinkPeer;
using test::SignalCommand;
using test::SignalLine;
using test::SignalPrefix;

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
      return TCrawlerStart{launch_result_, "Tovfetch", launch_result_ < 0 ? ENOENT : 0};
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
    EXPECT_EQ(peer->WaitLine("signal"), SignalLine(KindNone, 0x230E));
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
      {SignalCommand(KindUrlOk), [] { return UrlsOkCount == 1; }},
      {SignalCommand(KindUrlOk), [] { return UrlsOkCount == 2; }},
      {SignalCommand(KindUrlError), [] { return UrlsInErrorCount == 1; }},
      {SignalCommand(KindRobotsTxt), [] { return RobotsTxtCount == 1; }},
  };
  for (const Report& r : reports) {
    crawler->Ask(r.signal, "done");
    EXPECT_TRUE(test::WaitUntil(r.counted)) << r.signal;
  }
  MissedHeartbeats = 5;
  crawler->Ask(SignalCommand(KindThreadCount, "7"), "done");
  EXPECT_TRUE(test::WaitUntil([] { return ReportedCrawlers == 7; }));
  EXPECT_EQ(MissedHeartbeats, 0);

  // A heartbeat whose text is not a number still counts as a heartbeat.
  MissedHeartbeats = 3;
  crawler->Ask(SignalCommand(KindThreadCount, "seven"), "done");
  EXPECT_TRUE(test::WaitUntil([] { return Logged(": Heartbeat whose thread count is not a number: seven"); }));
  EXPECT_EQ(MissedHeartbeats, 0);
  EXPECT_EQ(ReportedCrawlers, 7);
  crawler->Ask(SignalCommand(KindUrlOk), "done");  // the link thread goes on
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
  constexpr int32_t kNoSuchKind = 42;
  crawler->Ask(SignalCommand(kNoSuchKind, "x"), "done");
  ASSERT_TRUE(Pump([&] { return !boxes_.empty(); }));
  EXPECT_EQ(boxes_[0].Text, "ukjent flag");
  EXPECT_TRUE(Logged(": ukjent flag " + std::to_string(kNoSuchKind)));
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
      {[&] { form.ShowUrldownloade->click(); }, SignalLine(KindShowForm), false},
      {[&] { form.HideUrldownloade->click(); }, SignalLine(KindHideForm), true},
      {[&] { form.ShowUrldownloade->click(); }, SignalLine(KindShowForm), false},
      {[&] { form.miOptions->trigger(); }, SignalLine(KindSetUserInfo), true},
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
  EXPECT_EQ(crawler->WaitLine(SignalPrefix(KindSetCrawlers)), SignalLine(KindSetCrawlers, 0, "3"));
  EXPECT_EQ(Text(form.DesiredNrOfCrawlers), "3");
  size_t mark = crawler->LineCount();
  form.TrackBar1->setValue(40);  // held at the maximum from the settings
  EXPECT_EQ(crawler->WaitLine(SignalPrefix(KindSetCrawlers), mark), SignalLine(KindSetCrawlers, 0, "12"));

  std::string way = GetParam();
  if (way == "menu") form.miExit->trigger();
  if (way == "close box") form.close();
  if (way == "tray pop-up") form.Open1->trigger();
  EXPECT_EQ(crawler->WaitLine(SignalPrefix(KindExit)), SignalLine(KindExit, 0, "12"));
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

// --- the supervision tick on the window, with fake interface counters, a
// fake idle source and a fake kill ---

class TickTest : public MainFormTest {
 protected:
  TickTest() {
    SetCrawlerKiller([this](const std::string& name) {
      kills_.push_back(name);
      monitor_when_killed_ = form_ && form_->Link().IPCMonitor() != nullptr;
      return std::vector<int32_t>{};
    });
    SetIdleSource([this] { return idle_ms_; });
    SetInterfaceTableSource([this](TMIBIfArray& table) {
      ++ticks_;
      table = {{"eth0", in_octets_, out_octets_}, {"lo", 0, 0}};
    });
    config_.MaxCrawlers = 20;
    config_.IdleTimeToChange = 300;
    config_.CrawlWhenIdle = 10;
    config_.CrawlWhenUse = 2;
  }
  ~TickTest() override {
    form_.reset();
    SetCrawlerKiller(nullptr);
    SetIdleSource(nullptr);
    SetInterfaceTableSource(nullptr);
  }

  TTovwatchMainForm& Start() {
    std::array<uint8_t, ConfigData::kSize> bytes = EncodeConfig(config_);
    test::WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
    MainFormTest::Start();
    form_->Timer1->stop();  // the test ticks by itself
    return *form_;
  }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) form_->Timer1Timer();
  }
  static std::vector<double> Values(const TLineChart* chart) {
    std::vector<double> values;
    for (const TLineChart::TPoint& p : chart->Points()) values.push_back(p.Value);
    return values;
  }
  // From now on the first message stays open as a modal one does: it runs the
  // window's events, and so the ticks, until `ticks` more ticks have passed
  // (or 60 s, when the ticks stop). Messages opened meanwhile are answered at
  // once, so that a fault shows as a count rather than as ever deeper loops.
  void HoldTheFirstMessageOpenFor(int ticks) {
    SetMessageBoxHandler([this, ticks](const TMessageBoxRequest& r) {
      boxes_.push_back(r);
      most_open_ = std::max(most_open_, ++open_);
      if (open_ == 1 && boxes_.size() == 1) {
        const int until = ticks_ + ticks;
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
          if (ticks_ >= until) loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
        EXPECT_GE(ticks_, until);
        launches_while_open_ = launches_;
        kills_while_open_ = kills_.size();
      }
      --open_;
      return mbOK;
    });
  }

  ConfigData config_;
  std::vector<std::string> kills_;
  bool monitor_when_killed_ = false;
  uint64_t idle_ms_ = 0;
  uint32_t in_octets_ = 0;
  uint32_t out_octets_ = 0;
  int ticks_ = 0;  // interface readings: one a tick
  int open_ = 0;   // messages standing open
  int most_open_ = 0;
  int launches_while_open_ = 0;
  size_t kills_while_open_ = 0;
};

TEST_F(TickTest, TheFirstTickShowsZeroWithTwoDecimalsAndTheInterfaceTraffic) {
  TTovwatchMainForm& form = Start();
  EXPECT_EQ(Text(form.trafficIn), "trafficIn");
  in_octets_ = 2500;
  out_octets_ = 7100;
  Tick();
  EXPECT_EQ(Text(form.LableAverageDownloaded), "0.00");
  EXPECT_EQ(Text(form.trafficIn), "2 kB");
  EXPECT_EQ(Text(form.trafficOut), "7 kB");
  EXPECT_EQ(Values(form.Chart1).back(), 2);
  EXPECT_EQ(Text(form.IdleTime), "0");
  EXPECT_EQ(Text(form.LabelMistHartBips), "0");
  EXPECT_EQ(Text(form.LableNrOfCrawlers), "0");

  // A tick whose table is empty charts 0 and leaves the labels as they are.
  SetInterfaceTableSource([](TMIBIfArray& table) { table.clear(); });
  Tick();
  EXPECT_EQ(Values(form.Chart1).back(), 0);
  EXPECT_EQ(Text(form.trafficIn), "2 kB");
  EXPECT_EQ(Text(form.trafficOut), "7 kB");
}

TEST_F(TickTest, AUrlBurstShowsInTheRateOneTickAfterTheCounter) {
  TTovwatchMainForm& form = Start();
  Tick();
  UrlsOkCount += 10;  // ten KindUrlOk reports between two ticks
  Tick();
  EXPECT_EQ(Text(form.URLsOk), "10");
  EXPECT_EQ(Values(form.Chart2).back(), 0);
  Tick();
  EXPECT_EQ(Values(form.Chart2).back(), 10);
  UrlsInErrorCount += 2;
  RobotsTxtCount += 1;
  Tick(2);
  EXPECT_EQ(Text(form.URLsInError), "2");
  EXPECT_EQ(Text(form.Robotstxt), "1");
  EXPECT_EQ(Values(form.Chart2).back(), 3);
  // Five ticks: 0, 0, 10, 0, 3.
  EXPECT_EQ(Text(form.LableAverageDownloaded), "2.60");
}

// 300 ticks fill both rings; the 301st overwrites the oldest slot and the
// average divides by 300 from then on.
TEST_F(TickTest, RingsAfter300And301Ticks) {
  TTovwatchMainForm& form = Start();
  std::vector<double> bandwidth;  // every sample charted, in order
  std::vector<double> rates;
  int32_t caption = 0;  // what the URLsOk label shows before a tick
  int32_t previous = 0;  // the caption at the tick before
  auto tick = [&](int t) {
    in_octets_ += 1000u * static_cast<uint32_t>(t);  // t kB in tick t
    bandwidth.push_back(t);
    rates.push_back(caption - previous);
    previous = caption;
    Tick();
    caption = UrlsOkCount;
    UrlsOkCount += t % 7;  // reports that arrive during tick t
  };
  auto expect_rings = [&](size_t ticks) {
    std::vector<double> last_bandwidth(bandwidth.end() - 300, bandwidth.end());
    std::vector<double> last_rates(rates.end() - 300, rates.end());
    EXPECT_EQ(Values(form.Chart1), last_bandwidth) << ticks;
    EXPECT_EQ(Values(form.Chart2), last_rates) << ticks;
    for (const TLineChart* chart : {form.Chart1, form.Chart2}) {
      for (const TLineChart::TPoint& p : chart->Points()) {
        ASSERT_EQ(p.Color, clBlue);
        ASSERT_EQ(p.Label, "");
      }
    }
    double total = 0;
    for (double r : last_rates) total += r;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", total / 300.0);
    EXPECT_EQ(Text(form.LableAverageDownloaded), text) << ticks;
  };

  for (int t = 1; t <= 299; ++t) tick(t);
  // Before the ring wraps the slots not yet written stand at the left as 0.
  EXPECT_EQ(Values(form.Chart1).front(), 0);
  EXPECT_EQ(Values(form.Chart1)[1], 1);
  EXPECT_EQ(Values(form.Chart1).size(), 300u);
  tick(300);
  EXPECT_EQ(form.Supervision().BandwidthIndex(), 0);
  EXPECT_EQ(form.Supervision().UrlRateIndex(), 0);
  expect_rings(300);
  tick(301);
  EXPECT_EQ(form.Supervision().BandwidthIndex(), 1);
  EXPECT_EQ(form.Supervision().UrlSampleCount(), 301);
  expect_rings(301);
  EXPECT_EQ(Values(form.Chart1).back(), 301);
  EXPECT_EQ(Values(form.Chart1).front(), 2);
}

TEST_F(TickTest, IdleSwitchMovesTheTrackBarAndSendsTheCount) {
  TTovwatchMainForm& form = Start();
  auto crawler = AttachedCrawler(11);
  form.TrackBar1->setValue(2);
  ASSERT_EQ(crawler->WaitLine(SignalPrefix(KindSetCrawlers)), SignalLine(KindSetCrawlers, 0, "2"));
  ReportedCrawlers = 2;

  struct Step {
    uint64_t idle_ms;
    int32_t position;
    uint16_t mode;
    const char* sent;  // the KindSetCrawlers text that follows, or nothing
  };
  const Step steps[] = {
      {300000, 2, 0, nullptr},  // exactly the setting
      {301000, 10, 1, "10"},
      {300500, 10, 1, nullptr},  // 300 whole seconds
      {0, 2, 0, "2"},            // the next input
  };
  for (const Step& s : steps) {
    idle_ms_ = s.idle_ms;
    const size_t mark = crawler->LineCount();
    Tick();
    EXPECT_EQ(Text(form.IdleTime), std::to_string(s.idle_ms / 1000));
    EXPECT_EQ(form.TrackBar1->value(), s.position) << s.idle_ms;
    EXPECT_EQ(Text(form.DesiredNrOfCrawlers), std::to_string(s.position));
    EXPECT_EQ(form.Supervision().IdleMode(), s.mode) << s.idle_ms;
    if (s.sent != nullptr) {
      // The switch sends the count, and the resend of the same tick may too.
      const std::string want = SignalLine(KindSetCrawlers, 0, s.sent);
      EXPECT_EQ(crawler->WaitLine(want, mark), want);
    }
    ReportedCrawlers = s.position;  // the crawler reports it
  }

  // A higher count the user set stays.
  form.TrackBar1->setValue(12);
  ReportedCrawlers = 12;
  idle_ms_ = 400000;
  Tick(3);
  EXPECT_EQ(form.TrackBar1->value(), 12);
  EXPECT_EQ(form.Supervision().IdleMode(), 0);
}

TEST_F(TickTest, TheWantedCountIsSentEveryTickUntilAHeartbeatReportsIt) {
  TTovwatchMainForm& form = Start();
  auto crawler = AttachedCrawler(11);
  // The link holds one record at a time: each tick's is taken before the next.
  auto tick_and_deliver = [&] {
    Tick();
    ASSERT_TRUE(form.Link().IPCMonitor()->WaitClientTook(5000));
  };
  form.TrackBar1->setValue(5);
  const std::string five = SignalLine(KindSetCrawlers, 0, "5");
  ASSERT_TRUE(crawler->WaitCount(five, 1));
  crawler->Ask(SignalCommand(KindThreadCount, "3"), "done");
  ASSERT_TRUE(test::WaitUntil([] { return ReportedCrawlers == 3; }));
  for (int i = 0; i < 3; ++i) tick_and_deliver();
  EXPECT_EQ(Text(form.LableNrOfCrawlers), "3");
  EXPECT_TRUE(crawler->WaitCount(five, 4));
  crawler->Ask(SignalCommand(KindThreadCount, "5"), "done");
  ASSERT_TRUE(test::WaitUntil([] { return ReportedCrawlers == 5; }));
  for (int i = 0; i < 3; ++i) tick_and_deliver();
  EXPECT_EQ(Text(form.LableNrOfCrawlers), "5");
  form.ShowUrldownloade->click();  // a record behind any that could still come
  EXPECT_EQ(crawler->WaitLine(SignalPrefix(KindShowForm)), SignalLine(KindShowForm));
  EXPECT_EQ(crawler->Count(five), 4);
}

TEST_F(TickTest, WithoutHeartbeatTheCrawlerIsRestartedOnThe242ndTick) {
  TTovwatchMainForm& form = Start();
  ASSERT_EQ(launches_, 1);
  // A heartbeat resets the watch.
  Tick(200);
  MissedHeartbeats = 0;
  Tick(241);
  EXPECT_EQ(Text(form.LabelMistHartBips), "240");
  EXPECT_TRUE(kills_.empty());
  EXPECT_EQ(launches_, 1);

  Tick();
  EXPECT_EQ(kills_, std::vector<std::string>{"Tovfetch"});
  EXPECT_TRUE(monitor_when_killed_);  // the old link monitor goes after the crawlers
  EXPECT_EQ(launches_, 2);
  ASSERT_NE(form.Link().IPCMonitor(), nullptr);
  EXPECT_EQ(TClientDirectory(6).GetMonitorID(), CurrentProcessId());
  std::vector<std::string> log = test::ErrorLogMessages();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "FailedCrawlerSjeks, cralwer is not responding. Restarting");
  Tick();
  EXPECT_EQ(Text(form.LabelMistHartBips), "1");
  EXPECT_EQ(kills_.size(), 1u);
}

// The watch gives up on a silent crawler and the new one cannot be started.
// Its message stands open for 300 ticks, which run inside it: the restart
// and its message stay one, and the next try comes a full watch period after
// the message closed.
TEST_F(TickTest, ACrawlerThatCannotBeStartedOnRestartOpensOneMessageAtATime) {
  TTovwatchMainForm& form = Start();
  launch_result_ = -1;
  form.Timer1->setInterval(1);  // the ticks inside the message come at once
  HoldTheFirstMessageOpenFor(300);
  Tick(241);
  ASSERT_EQ(launches_, 1);
  ASSERT_TRUE(boxes_.empty());
  Tick();  // the 242nd: the restart, whose message stands open
  form.Timer1->stop();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].Text, "Couldn't execute the application");
  EXPECT_EQ(most_open_, 1);
  EXPECT_EQ(launches_while_open_, 2);
  EXPECT_EQ(kills_while_open_, 1u);
  EXPECT_EQ(launches_, 2);
  EXPECT_EQ(kills_.size(), 1u);
  EXPECT_GE(ticks_, 242 + 300);

  Tick();
  EXPECT_EQ(Text(form.LabelMistHartBips), "1");
  Tick(239);
  EXPECT_EQ(Text(form.LabelMistHartBips), "240");
  EXPECT_EQ(launches_, 2);
  Tick();
  EXPECT_EQ(launches_, 3);
  EXPECT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(kills_.size(), 2u);
}

TEST_F(TickTest, ChartsDrawTheirPointsFlatAndInThreeDimensions) {
  TTovwatchMainForm& form = Start();
  form.show();
  for (int t = 1; t <= 40; ++t) {
    in_octets_ += 1000u * static_cast<uint32_t>(t % 9);
    UrlsOkCount += t % 4;
    Tick();
  }
  auto count = [](const QImage& image, auto pred) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) n += pred(image.pixelColor(x, y));
    }
    return n;
  };
  auto blue_pixels = [&](const QImage& image) {
    return count(image, [](const QColor& c) { return c.blue() > 200 && c.red() < 80 && c.green() < 80; });
  };
  auto white_share = [&](const QImage& image) {
    return count(image, [](const QColor& c) { return c == QColor(Qt::white); }) * 100 / (image.width() * image.height());
  };
  const QImage flat1 = form.Chart1->grab().toImage();
  const QImage flat2 = form.Chart2->grab().toImage();
  EXPECT_GT(blue_pixels(flat1), 20);
  EXPECT_GT(blue_pixels(flat2), 20);
  // White back wall on the bandwidth chart, none on the URL chart.
  EXPECT_GT(white_share(flat1), 40);
  EXPECT_LT(white_share(flat2), 5);

  form.mi3dGraphs->trigger();
  const QImage deep1 = form.Chart1->grab().toImage();
  const QImage deep2 = form.Chart2->grab().toImage();
  EXPECT_NE(deep1, flat1);
  EXPECT_NE(deep2, flat2);
  // The series is a ribbon now: more of it is blue.
  EXPECT_GT(blue_pixels(deep1), blue_pixels(flat1));
  EXPECT_GT(blue_pixels(deep2), blue_pixels(flat2));
  EXPECT_EQ(form.Chart1->Points().size(), 300u);
  form.mi3dGraphs->trigger();
  EXPECT_EQ(form.Chart1->grab().toImage(), flat1);
}

}  // namespace
}  // namespace tov
