// The supervision tick's state and decisions without a window: the two rings
// of 300 samples and the average over them, the URL rate from the counters
// of the previous tick, the idle switch between the thread counts "in use"
// and "idle", the heartbeat watch and when the crawler is restarted. It holds
// numbers only. The main window's Timer1Timer feeds it once a second on the
// window thread, carries out what it decides and draws what it holds.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/Config.h"

namespace tov {

constexpr int32_t kRingSlots = 300;
using TSampleRing = std::array<double, kRingSlots>;

// Ticks without a heartbeat after which the crawler is restarted.
constexpr int32_t kMaxMissedHeartbeats = 240;
// Ticks a restart waits for the crawlers it ended to be gone, so that the new
// link monitor starts on fresh link objects and the new crawler finds the
// lock file free; then it goes on regardless. A killed crawler's download
// threads run at idle priority: on a machine whose cores are all busy they
// may take many seconds to be scheduled and end, and a crawler started before
// that ends at once on the lock, leaving none for a whole watch period.
constexpr int32_t kCrawlerEndWaitTicks = 60;
constexpr const char* kCrawlerNotResponding = "FailedCrawlerSjeks, cralwer is not responding. Restarting";
// The crawler program's executable name.
constexpr const char* kCrawlerProgram = "Tovfetch";

// The three URL counters that the crawler's reports move.
struct TUrlCounters {
  int32_t UrlsOk = 0;
  int32_t UrlsInError = 0;
  int32_t RobotsTxt = 0;
  bool operator==(const TUrlCounters&) const = default;
};

// What a restart of the crawler asks of its caller.
struct TRestartActions {
  // Logs the restart and ends every crawler; the process ids it ended.
  std::function<std::vector<int32_t>()> EndCrawlers;
  // Whether a process that EndCrawlers ended still runs.
  std::function<bool(int32_t pid)> Running;
  // Makes a new link monitor and starts a new crawler. It may show a modal
  // message, whose event loop runs further ticks before this returns.
  std::function<void()> StartCrawler;
};

class TSupervision {
 public:
  // missed_heartbeats: the ticks since the last heartbeat, which the link
  // thread sets to 0 on each heartbeat and the watch counts up.
  explicit TSupervision(std::atomic<int32_t>& missed_heartbeats);
  TSupervision(const TSupervision&) = delete;
  TSupervision& operator=(const TSupervision&) = delete;

  // Rings and indexes 0, no samples, no counters, IdleMode 0, no restart.
  void Reset();

  // The steps of one tick, in this order.
  //
  // The bandwidth sample (kB received in the tick) and the URL-rate sample.
  // The rate counts the reports of the tick before this one: the counters
  // as the previous tick took them, less those of the tick before that. The
  // counters given become this tick's (Counters()).
  void TakeSamples(int32_t bandwidth_kb, const TUrlCounters& counters);
  // The idle switch for the idle time in seconds and the track bar's
  // position: the position to set, if any, and IdleMode updated. Signed
  // comparisons, the settings as given.
  std::optional<int32_t> CheckIdleMode(int32_t idle, int32_t position, const ConfigData& config);
  // Counts the tick and, on the first tick that finds more than 240 ticks
  // counted and no restart under way, restarts the crawler: EndCrawlers at
  // once, StartCrawler once the ended crawlers are gone (the same tick, or a
  // later one, at most kCrawlerEndWaitTicks later), so no tick waits for
  // them. A tick during a restart, the ticks that StartCrawler's message
  // runs among them, never starts another. When StartCrawler returns (or
  // anything throws) the watch starts again from 0, so the next try comes a
  // full watch period later.
  void WatchHeartbeat(const TRestartActions& actions);

  // What the window draws.
  std::vector<double> BandwidthPoints() const;  // oldest first
  std::vector<double> UrlRatePoints() const;    // oldest first
  // The mean URLs per tick over the last 300 ticks, or over all ticks while
  // fewer have passed, with two decimals.
  std::string AverageUrlRateText() const;
  const TUrlCounters& Counters() const { return counters_; }
  int32_t MissedHeartbeats() const { return missed_heartbeats_.load(); }
  bool RestartInProgress() const { return restart_ != TRestart::kNone; }

  // Each index is the slot the next sample goes to, which is also the slot
  // of the oldest sample.
  const TSampleRing& BandwidthRing() const { return bandwidth_ring_; }
  int32_t BandwidthIndex() const { return bandwidth_index_; }
  const TSampleRing& UrlRateRing() const { return url_rate_ring_; }
  int32_t UrlRateIndex() const { return url_rate_index_; }
  // The sum of the three URL counters as the previous tick took them.
  int32_t UrlPrevSum() const { return url_prev_sum_; }
  // Ticks sampled since the start.
  int32_t UrlSampleCount() const { return url_sample_count_; }
  // 0: the user is at the machine; 1: idle, the idle thread count is in force.
  uint16_t IdleMode() const { return idle_mode_; }

 private:
  enum class TRestart { kNone, kEndingCrawlers, kStartingCrawler };
  void StartCrawler(const TRestartActions& actions);
  void EndRestart();

  std::atomic<int32_t>& missed_heartbeats_;
  TSampleRing bandwidth_ring_{};
  int32_t bandwidth_index_ = 0;
  TSampleRing url_rate_ring_{};
  int32_t url_rate_index_ = 0;
  int32_t url_prev_sum_ = 0;
  int32_t url_sample_count_ = 0;
  TUrlCounters counters_;
  uint16_t idle_mode_ = 0;
  TRestart restart_ = TRestart::kNone;
  std::vector<int32_t> ended_crawlers_;
  int32_t end_wait_ticks_ = 0;
};

// The milliseconds since the user's last input, from wherever the program
// takes them (DesktopIdleMs in Tovwatch); nullptr: LocalIdleMs.
using TIdleSource = std::function<uint64_t()>;
void SetIdleSource(TIdleSource source);
// Whole seconds since the user's last input; 65535 for anything longer, so
// a machine left alone for 18 hours stays idle instead of counting from 0.
uint16_t IdleSeconds();

// Ends every running crawler program of this user (KillProcessByName) and
// returns the ids of those ended. Tests put their own here; nullptr
// restores it.
using TCrawlerKiller = std::function<std::vector<int32_t>(const std::string& name)>;
void SetCrawlerKiller(TCrawlerKiller killer);
std::vector<int32_t> KillCrawlerProcesses();

}  // namespace tov
