// The supervision tick's state and rules without a window: the two rings of
// 300 samples and the average over them, the idle switch between the thread
// counts "in use" and "idle", the user's idle time, and the end of every
// crawler process before a restart. The main window's Timer1Timer runs them
// once a second, in order, on the window thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/Config.h"

namespace tov {

constexpr int32_t kRingSlots = 300;
using TSampleRing = std::array<double, kRingSlots>;

// kB received per tick, and URLs handled per tick. Each index is the slot the
// next sample goes to, which is also the slot of the oldest sample.
extern TSampleRing BandwidthRing;
extern int32_t BandwidthIndex;
extern TSampleRing UrlRateRing;
extern int32_t UrlRateIndex;
// The sum of the three URL counters as read at the previous tick.
extern int32_t UrlPrevSum;
// Ticks sampled since start.
extern int32_t UrlSampleCount;
// 0: the user is at the machine; 1: idle, the idle thread count is in force.
extern uint16_t IdleMode;

// Ticks without a heartbeat after which the crawler is restarted.
constexpr int32_t kMaxMissedHeartbeats = 240;
constexpr const char* kCrawlerNotResponding = "FailedCrawlerSjeks, cralwer is not responding. Restarting";
// The crawler program's executable name.
constexpr const char* kCrawlerProgram = "Tovfetch";

// Everything above back to its start: rings and indexes 0, no samples, mode 0.
void ResetSupervision();

void AddSample(TSampleRing& ring, int32_t& index, double value);
// The 300 slots oldest first: index, index + 1, ..., 299, 0, ..., index - 1.
std::vector<double> InAgeOrder(const TSampleRing& ring, int32_t index);

// The URL-rate sample of a tick from the sum of the three counters' captions:
// the sum less UrlPrevSum, which becomes the sum. Wraps as 32-bit counters do.
double NextUrlRate(int32_t sum);

// The mean URLs per tick over the last 300 ticks, or over all ticks while
// fewer have passed (UrlSampleCount, already counted for this tick), with two
// decimals and the user's decimal separator.
std::string AverageUrlRateText();

// The idle switch for the idle time idle and the track bar's position:
// the position to set, if any, and IdleMode updated. Signed comparisons, the
// settings as given.
std::optional<int32_t> CheckIdleModeStep(int32_t idle, int32_t position, const ConfigData& config);

// The milliseconds since the user's last input, from wherever the program
// takes them (DesktopIdleMs in Tovwatch); nullptr: LocalIdleMs.
using TIdleSource = std::function<uint64_t()>;
void SetIdleSource(TIdleSource source);
// Whole seconds since the user's last input; 65535 for anything longer, so
// a machine left alone for 18 hours stays idle instead of counting from 0.
uint16_t IdleSeconds();

// Ends every running crawler program of this user (KillProcessByName).
// Tests put their own here; nullptr restores it.
using TCrawlerKiller = std::function<void(const std::string& name)>;
void SetCrawlerKiller(TCrawlerKiller killer);
void KillCrawlerProcesses();

}  // namespace tov
