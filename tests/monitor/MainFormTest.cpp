// The monitor's main window on Qt's offscreen platform, with the link test
// program playing the crawlers over the real link, and the charts that the
// tick draws in the shown window. The tick's other cases are in
// MainFormTickTest.cpp.
#include "monitor/TovwatchUnit1.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Config.h"
#include "common/IpcDirectory.h"
#include "common/IpcLink.h"
#include "common/MessageKinds.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "tests/monitor/MainFormFixture.h"

namespace tov {
namespace {

using test::LinkPeer;
using test::MainFormTest;
using test::SignalCommand;
using test::SignalLine;
using test::SignalPrefix;
using test::Text;
using test::TickTest;

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

// The charts as the shown window paints them.
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
