#include "monitor/Supervision.h"

#include <algorithm>
#include <cstdio>

#include "monitor/TestHook.h"
#include "platform/IdleTime.h"
#include "platform/Processes.h"

namespace tov {

TSampleRing BandwidthRing{};
int32_t BandwidthIndex = 0;
TSampleRing UrlRateRing{};
int32_t UrlRateIndex = 0;
int32_t UrlPrevSum = 0;
int32_t UrlSampleCount = 0;
uint16_t IdleMode = 0;

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

}  // namespace

void ResetSupervision() {
  BandwidthRing.fill(0);
  BandwidthIndex = 0;
  UrlRateRing.fill(0);
  UrlRateIndex = 0;
  UrlSampleCount = 0;
  UrlPrevSum = 0;
  IdleMode = 0;
}

void AddSample(TSampleRing& ring, int32_t& index, double value) {
  ring[static_cast<size_t>(index)] = value;
  if (++index >= kRingSlots) index = 0;
}

std::vector<double> InAgeOrder(const TSampleRing& ring, int32_t index) {
  std::vector<double> out(ring.begin() + index, ring.end());
  out.insert(out.end(), ring.begin(), ring.begin() + index);
  return out;
}

double NextUrlRate(int32_t sum) {
  const auto rate = static_cast<int32_t>(static_cast<uint32_t>(sum) - static_cast<uint32_t>(UrlPrevSum));
  UrlPrevSum = sum;
  return rate;
}

std::string AverageUrlRateText() {
  const int32_t held = std::clamp(UrlSampleCount, 1, kRingSlots);
  double total = 0;
  // Until the ring wraps the samples held are the slots written so far.
  for (int32_t i = 0; i < held; ++i) total += UrlRateRing[static_cast<size_t>(i)];
  const double divisor = UrlSampleCount <= kRingSlots ? static_cast<double>(held) : 300.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", total / divisor);
  return text;
}

std::optional<int32_t> CheckIdleModeStep(int32_t idle, int32_t position, const ConfigData& config) {
  if (IdleMode == 0) {
    if (idle > config.IdleTimeToChange && config.CrawlWhenIdle > position) {
      IdleMode = 1;
      return config.CrawlWhenIdle;
    }
  } else if (IdleMode == 1) {
    if (idle < config.IdleTimeToChange) {
      IdleMode = 0;
      return config.CrawlWhenUse;
    }
  }
  return std::nullopt;
}

void SetIdleSource(TIdleSource source) { IdleSourceHook().Set(std::move(source)); }

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

void KillCrawlerProcesses() {
  TCrawlerKiller killer = KillerHook().Get();
  if (killer) {
    killer(kCrawlerProgram);
  } else {
    KillProcessByName(kCrawlerProgram);
  }
}

}  // namespace tov
