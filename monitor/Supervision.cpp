#include "monitor/Supervision.h"

#include <algorithm>
#include <cstdio>

#include "monitor/TestHook.h"
#include "platform/IdleTime.h"
#include "platform/Processes.h"

namespace tov {

namespace {

// Made once and never freed: a hook may be read while the process ends.
TTestHook<TIdleSource>& IdleSourceHook() {
  static auto* hook = new TTestHook<TIdleSource>;
  return *hook;
}

TTestHook<TCrawlerKiller>& KillerHook() {
  static auto* hook = new TTestHook<TCrawlerKiller>;
  return *hook;
}

void AddSample(TSampleRing& ring, int32_t& index, double value) {
  ring[static_cast<size_t>(index)] = value;
  if (++index >= kRingSlots) index = 0;
}

// The 300 slots oldest first: index, index + 1, ..., 299, 0, ..., index - 1.
std::vector<double> InAgeOrder(const TSampleRing& ring, int32_t index) {
  std::vector<double> out(ring.begin() + index, ring.end());
  out.insert(out.end(), ring.begin(), ring.begin() + index);
  return out;
}

// Counters wrap as 32-bit numbers do, and so do their sums and differences.
int32_t Sum(const TUrlCounters& c) {
  return static_cast<int32_t>(static_cast<uint32_t>(c.UrlsOk) + static_cast<uint32_t>(c.UrlsInError) +
                              static_cast<uint32_t>(c.RobotsTxt));
}

}  // namespace

TSupervision::TSupervision(std::atomic<int32_t>& missed_heartbeats) : missed_heartbeats_(missed_heartbeats) {}

void TSupervision::Reset() {
  bandwidth_ring_.fill(0);
  bandwidth_index_ = 0;
  url_rate_ring_.fill(0);
  url_rate_index_ = 0;
  url_sample_count_ = 0;
  url_prev_sum_ = 0;
  counters_ = {};
  idle_mode_ = 0;
  restart_ = TRestart::kNone;
  ended_crawlers_.clear();
  end_wait_ticks_ = 0;
}

void TSupervision::TakeSamples(int32_t bandwidth_kb, const TUrlCounters& counters) {
  AddSample(bandwidth_ring_, bandwidth_index_, bandwidth_kb);
  const int32_t sum = Sum(counters_);
  const auto rate = static_cast<int32_t>(static_cast<uint32_t>(sum) - static_cast<uint32_t>(url_prev_sum_));
  url_prev_sum_ = sum;
  AddSample(url_rate_ring_, url_rate_index_, rate);
  ++url_sample_count_;
  counters_ = counters;
}

std::vector<double> TSupervision::BandwidthPoints() const { return InAgeOrder(bandwidth_ring_, bandwidth_index_); }

std::vector<double> TSupervision::UrlRatePoints() const { return InAgeOrder(url_rate_ring_, url_rate_index_); }

std::string TSupervision::AverageUrlRateText() const {
  const int32_t held = std::clamp(url_sample_count_, 1, kRingSlots);
  double total = 0;
  // Until the ring wraps the samples held are the slots written so far.
  for (int32_t i = 0; i < held; ++i) total += url_rate_ring_[static_cast<size_t>(i)];
  const double divisor = url_sample_count_ <= kRingSlots ? static_cast<double>(held) : 300.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", total / divisor);
  return text;
}

std::optional<int32_t> TSupervision::CheckIdleMode(int32_t idle, int32_t position, const ConfigData& config) {
  if (idle_mode_ == 0) {
    if (idle > config.IdleTimeToChange && config.CrawlWhenIdle > position) {
      idle_mode_ = 1;
      return config.CrawlWhenIdle;
    }
  } else if (idle_mode_ == 1) {
    if (idle < config.IdleTimeToChange) {
      idle_mode_ = 0;
      return config.CrawlWhenUse;
    }
  }
  return std::nullopt;
}

void TSupervision::WatchHeartbeat(const TRestartActions& actions) {
  // Safeguard: one restart at a time. The ticks that a restart's modal
  // message runs start no other, so messages and restarts cannot pile up.
  switch (restart_) {
    case TRestart::kNone:
      if (missed_heartbeats_ > kMaxMissedHeartbeats) {
        restart_ = TRestart::kEndingCrawlers;
        end_wait_ticks_ = 0;
        try {
          ended_crawlers_ = actions.EndCrawlers();
        } catch (...) {
          EndRestart();
          throw;
        }
      }
      break;
    case TRestart::kEndingCrawlers:
      ++end_wait_ticks_;
      break;
    case TRestart::kStartingCrawler:
      break;
  }
  if (restart_ == TRestart::kEndingCrawlers) {
    const bool gone = std::none_of(ended_crawlers_.begin(), ended_crawlers_.end(),
                                   [&](int32_t pid) { return actions.Running(pid); });
    if (gone || end_wait_ticks_ >= kCrawlerEndWaitTicks) StartCrawler(actions);
  }
  ++missed_heartbeats_;
}

void TSupervision::StartCrawler(const TRestartActions& actions) {
  restart_ = TRestart::kStartingCrawler;
  // Ended whether the start succeeds or throws.
  struct Ending {
    TSupervision& supervision;
    ~Ending() { supervision.EndRestart(); }
  } ending{*this};
  actions.StartCrawler();
}

void TSupervision::EndRestart() {
  restart_ = TRestart::kNone;
  ended_crawlers_.clear();
  // The watch starts again, as after a heartbeat.
  missed_heartbeats_ = 0;
}

void SetIdleSource(TIdleSource source) { IdleSourceHook().Set(std::move(source)); }

// Safeguard: idle time capped.
// Idle times of 18 hours and more stay at 65535 s rather than counting again
// from 0. Every supported system reports the user's idle time, so the
// system's version (WinMajorVersion) gates nothing here: a kernel numbered
// below 5 would otherwise never switch to the idle thread count.
uint16_t IdleSeconds() {
  TIdleSource source = IdleSourceHook().Get();
  const uint64_t ms = source ? source() : LocalIdleMs();
  return static_cast<uint16_t>(std::min<uint64_t>(ms / 1000, 65535));
}

void SetCrawlerKiller(TCrawlerKiller killer) { KillerHook().Set(std::move(killer)); }

std::vector<int32_t> KillCrawlerProcesses() {
  TCrawlerKiller killer = KillerHook().Get();
  if (killer) return killer(kCrawlerProgram);
  std::vector<int32_t> ended;
  KillProcessByName(kCrawlerProgram, &ended);
  return ended;
}

}  // namespace tov
