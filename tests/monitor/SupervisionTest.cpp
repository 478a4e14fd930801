// The supervision tick's rules without a window, a link or a peer process:
// the interface differences, the rings and the URL rate, the idle switch and
// the idle time, the heartbeat watch and the crawler's restart.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <new>
#include <string>
#include <vector>

#include "common/Config.h"
#include "monitor/InterfaceStats.h"
#include "monitor/Supervision.h"

namespace tov {
namespace {

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

TEST(CheckIdleMode, SwitchesOnlyAsTheComparisonsSay) {
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
    std::atomic<int32_t> missed{0};
    TSupervision supervision(missed);
    if (c.mode == 1) supervision.CheckIdleMode(301, 0, config);  // the user went away
    ASSERT_EQ(supervision.IdleMode(), c.mode) << c.name;
    EXPECT_EQ(supervision.CheckIdleMode(c.idle, c.position, config), c.set) << c.name;
    EXPECT_EQ(supervision.IdleMode(), c.mode_after) << c.name;
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

// The rate of a tick counts the reports that came during the tick before it:
// the counters as the previous tick took them, less those of the tick before.
TEST(TakeSamples, TheUrlRateLagsOneTickBehindTheCounters) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  struct Step {
    TUrlCounters counters;  // as the link thread has them at the tick
    double rate;
    const char* average;
  };
  const Step steps[] = {
      {{0, 0, 0}, 0, "0.00"},
      {{10, 0, 0}, 0, "0.00"},  // ten KindUrlOk reports
      {{10, 2, 1}, 10, "3.33"},
      {{10, 2, 1}, 3, "3.25"},
      {{kMax, 2, 1}, 0, "2.60"},
      {{kMax, 2, 1}, kMax - 10, "357913941.67"},  // the sum of the counters wrapped
      {{kMax, 7, 1}, 0, "306783378.57"},
      {{kMax, 7, 1}, 5, "268435456.88"},
  };
  std::atomic<int32_t> missed{0};
  TSupervision supervision(missed);
  int tick = 0;
  for (const Step& s : steps) {
    ++tick;
    supervision.TakeSamples(tick, s.counters);
    EXPECT_EQ(supervision.Counters(), s.counters) << tick;
    EXPECT_EQ(supervision.UrlRatePoints().back(), s.rate) << tick;
    EXPECT_EQ(supervision.BandwidthPoints().back(), tick) << tick;
    EXPECT_EQ(supervision.AverageUrlRateText(), s.average) << tick;
    EXPECT_EQ(supervision.UrlSampleCount(), tick);
  }
}

TEST(TakeSamples, TheRingsWrapAfter300TicksAndTheAverageThenDividesBy300) {
  std::atomic<int32_t> missed{0};
  TSupervision supervision(missed);
  // Counters that grow by t in tick t: the rate of tick t is t - 1.
  auto tick = [&](int32_t t) { supervision.TakeSamples(t, {t * (t + 1) / 2, 0, 0}); };
  for (int32_t t = 1; t <= 299; ++t) tick(t);
  // Not yet wrapped: the slot not written stands oldest, as 0.
  std::vector<double> points = supervision.BandwidthPoints();
  ASSERT_EQ(points.size(), 300u);
  EXPECT_EQ(points.front(), 0);
  EXPECT_EQ(points[1], 1);
  EXPECT_EQ(points.back(), 299);
  EXPECT_EQ(supervision.AverageUrlRateText(), "149.00");  // 0 + ... + 298 over 299

  tick(300);
  EXPECT_EQ(supervision.BandwidthIndex(), 0);
  EXPECT_EQ(supervision.UrlRateIndex(), 0);
  EXPECT_EQ(supervision.BandwidthPoints().front(), 1);
  EXPECT_EQ(supervision.AverageUrlRateText(), "149.50");  // 0 + ... + 299 over 300

  tick(301);
  EXPECT_EQ(supervision.BandwidthIndex(), 1);
  EXPECT_EQ(supervision.UrlSampleCount(), 301);
  points = supervision.BandwidthPoints();
  EXPECT_EQ(points.front(), 2);
  EXPECT_EQ(points.back(), 301);
  EXPECT_EQ(supervision.UrlRatePoints().front(), 1);
  EXPECT_EQ(supervision.AverageUrlRateText(), "150.50");  // 1 + ... + 300 over 300

  supervision.Reset();
  EXPECT_EQ(supervision.UrlSampleCount(), 0);
  EXPECT_EQ(supervision.BandwidthIndex(), 0);
  EXPECT_EQ(supervision.BandwidthPoints(), std::vector<double>(300, 0));
  EXPECT_EQ(supervision.Counters(), TUrlCounters{});
}

// The heartbeat watch with actions that count what they are asked to do.
class WatchTest : public ::testing::Test {
 protected:
  WatchTest() {
    actions_.EndCrawlers = [this] {
      ++ends_;
      return ended_;
    };
    actions_.Running = [this](int32_t pid) {
      EXPECT_EQ(starts_, ends_ - 1) << "a crawler looked for after the restart";
      return pid == still_running_;
    };
    actions_.StartCrawler = [this] {
      ++starts_;
      if (in_start_) in_start_();
    };
  }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) supervision_.WatchHeartbeat(actions_);
  }

  std::atomic<int32_t> missed_{0};
  TSupervision supervision_{missed_};
  TRestartActions actions_;
  std::vector<int32_t> ended_;  // what EndCrawlers reports
  int32_t still_running_ = 0;   // an ended crawler that has not gone yet
  std::function<void()> in_start_;
  int ends_ = 0;
  int starts_ = 0;
};

TEST_F(WatchTest, RestartsOnThe242ndTickWithoutAHeartbeatAndCountsAgainFromThere) {
  Tick(200);
  missed_ = 0;  // a heartbeat
  Tick(241);
  EXPECT_EQ(supervision_.MissedHeartbeats(), 241);
  EXPECT_EQ(ends_, 0);
  Tick();
  EXPECT_EQ(ends_, 1);
  EXPECT_EQ(starts_, 1);
  EXPECT_FALSE(supervision_.RestartInProgress());
  EXPECT_EQ(supervision_.MissedHeartbeats(), 1);
  Tick(240);
  EXPECT_EQ(ends_, 1);
  Tick();
  EXPECT_EQ(ends_, 2);
  EXPECT_EQ(starts_, 2);
}

// A modal message of the start runs the window's events, and so the tick,
// until it is dismissed: here for 300 ticks, more than a watch period. A
// start inside it returns at once, so that a fault shows as a count.
TEST_F(WatchTest, TicksDuringTheRestartsMessageStartNoOtherRestart) {
  int ticks_inside = 0;
  in_start_ = [&] {
    if (starts_ > 1) return;
    for (int i = 0; i < 300; ++i) {
      EXPECT_TRUE(supervision_.RestartInProgress());
      Tick();
      ++ticks_inside;
    }
    EXPECT_EQ(ends_, 1);
    EXPECT_EQ(starts_, 1);
  };
  Tick(242);
  EXPECT_EQ(ticks_inside, 300);
  EXPECT_EQ(ends_, 1);
  EXPECT_EQ(starts_, 1);
  EXPECT_FALSE(supervision_.RestartInProgress());
  // The next try comes a full watch period after the message closed.
  in_start_ = nullptr;
  EXPECT_EQ(supervision_.MissedHeartbeats(), 1);
  Tick(240);
  EXPECT_EQ(starts_, 1);
  Tick();
  EXPECT_EQ(ends_, 2);
  EXPECT_EQ(starts_, 2);
}

// The new link monitor and crawler come once the ended crawlers are gone,
// and after kCrawlerEndWaitTicks even when one is not.
TEST_F(WatchTest, TheStartWaitsForTheEndedCrawlersABoundedNumberOfTicks) {
  struct Case {
    const char* name;
    std::vector<int32_t> ended;
    int gone_after;  // ticks after the one that ended them
    int started_after;
  };
  const Case cases[] = {
      {"no crawler ran", {}, 0, 0},
      {"gone at once", {301, 302}, 0, 0},
      {"gone a tick later", {301, 302}, 1, 1},
      {"gone after three ticks", {301, 302}, 3, 3},
      {"never gone", {301, 302}, 1000, kCrawlerEndWaitTicks},
  };
  for (const Case& c : cases) {
    missed_ = 0;
    ends_ = 0;
    starts_ = 0;
    ended_ = c.ended;
    still_running_ = c.gone_after > 0 ? 302 : 0;
    Tick(241);
    int started_after = -1;  // the tick of the start, counted from the one that ended the crawlers
    for (int after = 0; started_after < 0 && after <= kCrawlerEndWaitTicks + 5; ++after) {
      if (after == c.gone_after) still_running_ = 0;
      Tick();
      EXPECT_EQ(ends_, 1) << c.name;
      if (starts_ > 0) {
        started_after = after;
      } else {
        EXPECT_TRUE(supervision_.RestartInProgress()) << c.name;
      }
    }
    EXPECT_EQ(started_after, c.started_after) << c.name;
    EXPECT_EQ(starts_, 1) << c.name;
    EXPECT_EQ(ends_, 1) << c.name;
    EXPECT_EQ(supervision_.MissedHeartbeats(), 1) << c.name;
    EXPECT_FALSE(supervision_.RestartInProgress()) << c.name;
  }
}

// A restart that fails on the way counts as done: the watch starts again and
// the next try comes a full watch period later.
TEST_F(WatchTest, ARestartThatThrowsEndsAndTheNextComesAWatchPeriodLater) {
  const TRestartActions working = actions_;
  for (const char* step : {"EndCrawlers", "StartCrawler"}) {
    const std::string which = step;
    if (which == "EndCrawlers") actions_.EndCrawlers = []() -> std::vector<int32_t> { throw std::bad_alloc(); };
    if (which == "StartCrawler") actions_.StartCrawler = [] { throw std::bad_alloc(); };
    missed_ = 241;
    EXPECT_THROW(Tick(), std::bad_alloc) << which;
    EXPECT_FALSE(supervision_.RestartInProgress()) << which;
    EXPECT_EQ(supervision_.MissedHeartbeats(), 0) << which;
    actions_ = working;
    const int ends = ends_;
    Tick(241);
    EXPECT_EQ(ends_, ends) << which;
    Tick();
    EXPECT_EQ(ends_, ends + 1) << which;
    EXPECT_FALSE(supervision_.RestartInProgress()) << which;
  }
}

}  // namespace
}  // namespace tov
