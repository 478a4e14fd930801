// The supervision tick on the monitor's main window, the window never shown:
// the charts' samples, the counters, the idle switch, the resend of the
// wanted count and the restart of a silent crawler, with the link test
// program playing the crawler where one is attached.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/Config.h"
#include "common/IpcDirectory.h"
#include "common/MessageKinds.h"
#include "monitor/Supervision.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "platform/Threads.h"
#include "tests/monitor/MainFormFixture.h"
#include "tests/support/SleepWatch.h"

namespace tov {
namespace {

using test::SignalCommand;
using test::SignalLine;
using test::SignalPrefix;
using test::Text;
using test::TickTest;

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

// The restart's ticks never hold the window thread in a sleep: not the one
// that ends the crawlers, nor those that wait for them to go, nor the one
// that makes the new link monitor and starts the new crawler. A sleep is
// told by the time it asks for, so a loaded machine cannot make one up.
TEST_F(TickTest, NoTickOfARestartSleepsOnTheWindowThread) {
  constexpr int64_t kLongSleepMs = 100;  // a lock's retry of a few ms is no hold
  TTovwatchMainForm& form = Start();
  ended_ = {CurrentProcessId()};  // a crawler that does not go: the restart waits its longest
  Tick(241);
  test::SleepWatch watch;
  Tick();
  ASSERT_EQ(kills_.size(), 1u);
  EXPECT_TRUE(form.Supervision().RestartInProgress());
  Tick(kCrawlerEndWaitTicks);
  EXPECT_EQ(launches_, 2);
  EXPECT_FALSE(form.Supervision().RestartInProgress());
  EXPECT_LT(watch.LongestMs(), kLongSleepMs) << "the window thread slept during the restart";
}

// What the restart's test relies on: the watch keeps the time that a sleep
// of the watched thread asked for, whatever the sleep's kind, and takes no
// other wait, nor another thread's sleep, for one.
TEST(SleepWatch, KeepsTheLongestSleepTheWatchedThreadAskedFor) {
  test::SleepWatch watch;
  std::thread([] { RealSleep(300); }).join();
  EXPECT_EQ(watch.LongestMs(), 0);
  // A sleep is seen once the watch runs during it: each is repeated until it is.
  for (int i = 0; i < 100 && watch.LongestMs() == 0; ++i) RealSleep(150);
  EXPECT_EQ(watch.LongestMs(), 150);
  for (int i = 0; i < 100 && watch.LongestMs() == 150; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(watch.LongestMs(), 250);
}

}  // namespace
}  // namespace tov
