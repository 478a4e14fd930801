// The monitor's network-interface counters: the readings kept from the
// previous tick and the kilobytes received and sent since, taken from the
// first interface of the table (the one that carries the default route).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/InterfaceTable.h"

namespace tov {

// The kept state of one interface; differences are modulo 2^32, so one wrap
// of a counter between two readings gives the right amount.
struct TInterfaceStat {
  uint32_t LastInOctets = 0;
  uint32_t LastOutOctets = 0;
  uint32_t InDelta = 0;
  uint32_t OutDelta = 0;
  std::string Name;  // the interface these readings are of
};
using TStatArr = std::vector<TInterfaceStat>;

// One element per interface of the first reading; only the first is updated.
extern TStatArr IfStats;
// Kilobytes (1000 bytes) received in the last tick.
extern int32_t BandwidthSample;

// What a tick shows in the In and Out labels.
struct TTrafficTexts {
  std::string In;
  std::string Out;
  bool operator==(const TTrafficTexts&) const = default;
};

// First reading: IfStats gets one element per row with the row's counters
// and no deltas. An empty table leaves IfStats as it is.
void InitInterfaceStats(const TMIBIfArray& table);

// A tick's reading of the first row against IfStats's first element: the
// deltas, BandwidthSample and the labels' texts. Without a first row or a
// first element BandwidthSample is 0 and nothing is to be shown (the labels
// stay as they are); an IfStats left empty at start-up takes this table as
// its first reading. When the first row is another interface than at the
// previous reading (the default route moved), the reading starts over from
// it: a difference between two interfaces' counters means nothing.
std::optional<TTrafficTexts> UpdateInterfaceStats(const TMIBIfArray& table);

// Reads the table afresh and takes the first reading (init) or a tick's.
std::optional<TTrafficTexts> SampleInterfaces(bool init);

// Tests put their own table here; nullptr restores GetInterfaceTable.
void SetInterfaceTableSource(std::function<void(TMIBIfArray& table)> source);

}  // namespace tov
