// The supervision tick: its rules without a window (interface differences,
// idle switch, idle time), then Timer1Timer on the main window on Qt's
// offscreen platform with fake interface counters, a fake idle source, a fake
// kill and the link test program as the crawler.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/Config.h"
#include "common/IpcDirectory.h"
#include "monitor/InterfaceStats.h"
#include "monitor/Supervision.h"
#include "monitor/TovwatchUnit1.h"
#include "platform/GuiApplication.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

using test::LinkPeer;

// --- the rules without a window ---

TEST(UpdateInterfaceStats, TakesUnsigned32BitDifferencesOfTheFirstInterface) {
  struct Case {
    const char* name;
    TMIBIfArray first;
    TMIBIfArray second;
    int32_t sample;
    std::optional<TTrafficTexts> texts;
  };
  const uint32_t before_wrap = 0xFFFFFFFFu - 295;  // 296 octets before the wrap
  const Case cases[] = {
      {"a wrap past 2^32", {{"eth0", before_wrap, 0}}, {{"eth0", 704, 0}}, 1, TTrafficTexts{"1 kB", "0 kB"}},
      {"999 octets are 0 kB", {{"eth0", 5000, 7000}}, {{"eth0", 5999, 9999}}, 0, TTrafficTexts{"0 kB", "2 kB"}},
      {"only the first interface counts",
       {{"eth0", 0, 0}, {"wlan0", 0, 0}},
       {{"eth0", 3000, 4000}, {"wlan0", 900000, 900000}},
       3,
       TTrafficTexts{"3 kB", "4 kB"}},
      {"an empty table shows nothing", {{"eth0", 0, 0}}, {}, 0, std::nullopt},
      {"a new first interface starts over", {{"eth0", 1000, 1000}}, {{"wlan0", 90000000, 5}}, 0,
       TTrafficTexts{"0 kB", "0 kB"}},
  };
  for (const Case& c : cases) {
    IfStats.clear();
    BandwidthSample = 77;
    InitInterfaceStats(c.first);
    EXPECT_EQ(IfStats.size(), c.first.size()) << c.name;
    EXPECT_EQ(UpdateInterfaceStats(c.second), c.texts) << c.name;
    EXPECT_EQ(BandwidthSample, c.sample) << c.name;
  }
}

TEST(UpdateInterfaceStats, AnEmptyFirstReadingKeepsNothingAndTheNextTableStartsTheCount) {
  IfStats.clear();
  InitInterfaceStats({});
  EXPECT_TRUE(IfStats.empty());
  EXPECT_EQ(UpdateInterfaceStats({{"eth0", 5000, 5000}}), std::nullopt);
  EXPECT_EQ(BandwidthSample, 0);
  EXPECT_EQ(UpdateInterfaceStats({{"eth0", 8000, 5000}}), (TTrafficTexts{"3 kB", "0 kB"}));
  EXPECT_EQ(BandwidthSample, 3);
}

TEST(CheckIdleModeStep, SwitchesOnlyAsTheComparisonsSay) {
  ConfigData config;
  config.IdleTimeToChange = 300;
  config.CrawlWhenIdle = 10;
  config.CrawlWhenUse = 2;
  struct Case {
    const char* name;
    uint16_t mode;
    int32_t idle;
    int32_t position;
    std::optional<int32_t> set;
    uint16_t mode_after;
  };
  const Case cases[] = {
      {"away longer than the setting", 0, 301, 2, 10, 1},
      {"a higher count the user set stays", 0, 301, 12, std::nullopt, 0},
      {"the idle count already in place", 0, 301, 10, std::nullopt, 0},
      {"exactly the setting in use", 0, 300, 2, std::nullopt, 0},
      {"not away long enough", 0, 299, 2, std::nullopt, 0},
      {"back at the machine", 1, 0, 10, 2, 0},
      {"back, whatever the position", 1, 299, 15, 2, 0},
      {"exactly the setting while idle", 1, 300, 10, std::nullopt, 1},
      {"still away", 1, 65535, 10, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    IdleMode = c.mode;
    EXPECT_EQ(CheckIdleModeStep(c.idle, c.position, config), c.set) << c.name;
    EXPECT_EQ(IdleMode, c.mode_after) << c.name;
  }
}

TEST(IdleSeconds, CountsWholeSecondsAndStaysAt65535) {
  struct Case {
    uint64_t ms;
    uint16_t seconds;
  };
  const Case cases[] = {{0, 0},
                        {999, 0},
                        {1000, 1},
                        {65535999, 65535},
                        {65536000, 65535},  // 18.2 hours: still idle, not 0 again
                        {std::numeric_limits<uint64_t>::max(), 65535}};
  for (const Case& c : cases) {
    SetIdleSource([&] { return c.ms; });
    EXPECT_EQ(IdleSeconds(), c.seconds) << c.ms;
  }
  SetIdleSource(nullptr);
}

// --- the tick on the main window ---

char kName[] = "supervision_tests";
char* kArgv[] = {kName, nullptr};

std::string Text(const QLabel* label) { return label->text().toStdString(); }

class TickTest : public ::testing::Test {
 protected:
  TickTest() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (auto* counter : {&UrlsOkCount, &UrlsInErrorCount, &RobotsTxtCount, &MissedHeartbeats, &ReportedCrawlers}) {
      *counter = 0;
    }
    Exiting = false;
    app_ = std::make_unique<TApplication>(argc_, kArgv);
    SetMessageBoxHandler([](const TMessageBoxRequest&) { return mbOK; });
    SetCrawlerLauncher([this] {
      ++launches_;
      return 4242;
    });
    SetCrawlerKiller([this](const std::string& name) {
      kills_.push_back(name);
      monitor_when_killed_ = form_ && form_->Link().IPCMonitor() != nullptr;
    });
    SetIdleSource([this] { return idle_ms_; });
    SetInterfaceTableSource([this](TMIBIfArray& table) { table = {{"eth0", in_octets_, out_octets_}, {"lo", 0, 0}}; });
    config_.MaxCrawlers = 20;
    config_.IdleTimeToChange = 300;
    config_.CrawlWhenIdle = 10;
    config_.CrawlWhenUse = 2;
  }
  ~TickTest() override {
    form_.reset();
    SetCrawlerLauncher(nullptr);
    SetCrawlerKiller(nullptr);
    SetIdleSource(nullptr);
    SetInterfaceTableSource(nullptr);
    app_.reset();
  }

  TTovwatchMainForm& Start() {
    std::array<uint8_t, ConfigData::kSize> bytes = EncodeConfig(config_);
    test::WriteFileBytes("Config.bin", std::string(bytes.begin(), bytes.end()));
    form_ = std::make_unique<TTovwatchMainForm>();
    form_->FormCreate();
    form_->Timer1->stop();  // the test ticks by itself
    return *form_;
  }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) form_->Timer1Timer();
  }
  std::unique_ptr<LinkPeer> AttachedCrawler() {
    auto peer = std::make_unique<LinkPeer>(std::vector<std::string>{"client", "11", "Tovfetch"});
    EXPECT_EQ(peer->WaitLine("ready"), "ready");
    EXPECT_TRUE(peer->WaitCount("connect 1", 1));
    EXPECT_EQ(peer->WaitLine("signal"), "signal 0 8974 ");
    return peer;
  }
  static std::vector<double> Values(const TLineChart* chart) {
    std::vector<double> values;
    for (const TLineChart::TPoint& p : chart->Points()) values.push_back(p.Value);
    return values;
  }

  test::PrivateLinkDir dir_;
  int argc_ = 1;
  ConfigData config_;
  std::unique_ptr<TApplication> app_;
  std::unique_ptr<TTovwatchMainForm> form_;
  int launches_ = 0;
  std::vector<std::string> kills_;
  bool monitor_when_killed_ = false;
  uint64_t idle_ms_ = 0;
  uint32_t in_octets_ = 0;
  uint32_t out_octets_ = 0;
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
  UrlsOkCount += 10;  // ten kind-8 reports between two ticks
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
  EXPECT_EQ(BandwidthIndex, 0);
  EXPECT_EQ(UrlRateIndex, 0);
  expect_rings(300);
  tick(301);
  EXPECT_EQ(BandwidthIndex, 1);
  EXPECT_EQ(UrlSampleCount, 301);
  expect_rings(301);
  EXPECT_EQ(Values(form.Chart1).back(), 301);
  EXPECT_EQ(Values(form.Chart1).front(), 2);
}

TEST_F(TickTest, IdleSwitchMovesTheTrackBarAndSendsTheCount) {
  TTovwatchMainForm& form = Start();
  auto crawler = AttachedCrawler();
  form.TrackBar1->setValue(2);
  ASSERT_EQ(crawler->WaitLine("signal 11"), "signal 11 0 2");
  ReportedCrawlers = 2;

  struct Step {
    uint64_t idle_ms;
    int32_t position;
    uint16_t mode;
    const char* sent;  // the kind-11 text that follows, or nothing
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
    EXPECT_EQ(IdleMode, s.mode) << s.idle_ms;
    if (s.sent != nullptr) {
      // The switch sends the count, and the resend of the same tick may too.
      const std::string want = std::string("signal 11 0 ") + s.sent;
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
  EXPECT_EQ(IdleMode, 0);
}

TEST_F(TickTest, TheWantedCountIsSentEveryTickUntilAHeartbeatReportsIt) {
  TTovwatchMainForm& form = Start();
  auto crawler = AttachedCrawler();
  // The link holds one record at a time: each tick's is taken before the next.
  auto tick_and_deliver = [&] {
    Tick();
    ASSERT_TRUE(form.Link().IPCMonitor()->WaitClientTook(5000));
  };
  form.TrackBar1->setValue(5);
  ASSERT_TRUE(crawler->WaitCount("signal 11 0 5", 1));
  crawler->Ask("signal 13 3", "done");
  ASSERT_TRUE(test::WaitUntil([] { return ReportedCrawlers == 3; }));
  for (int i = 0; i < 3; ++i) tick_and_deliver();
  EXPECT_EQ(Text(form.LableNrOfCrawlers), "3");
  EXPECT_TRUE(crawler->WaitCount("signal 11 0 5", 4));
  crawler->Ask("signal 13 5", "done");
  ASSERT_TRUE(test::WaitUntil([] { return ReportedCrawlers == 5; }));
  for (int i = 0; i < 3; ++i) tick_and_deliver();
  EXPECT_EQ(Text(form.LableNrOfCrawlers), "5");
  form.ShowUrldownloade->click();  // a record behind any that could still come
  EXPECT_EQ(crawler->WaitLine("signal 6"), "signal 6 0 ");
  EXPECT_EQ(crawler->Count("signal 11 0 5"), 4);
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
