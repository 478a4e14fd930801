#include "monitor/InterfaceStats.h"

#include "monitor/TestHook.h"
#include "platform/SysUtils.h"

namespace tov {

TStatArr IfStats;
int32_t BandwidthSample = 0;

namespace {

TTestHook<std::function<void(TMIBIfArray&)>>& TableSource() {
  static auto* hook = new TTestHook<std::function<void(TMIBIfArray&)>>;
  return *hook;
}

TInterfaceStat FirstReading(const TMIBIfRow& row) { return {row.dwInOctets, row.dwOutOctets, 0, 0, row.Name}; }

std::string Kilobytes(uint32_t octets) { return IntToStr(octets / 1000) + " kB"; }

}  // namespace

void InitInterfaceStats(const TMIBIfArray& table) {
  if (table.empty()) return;
  IfStats.clear();
  for (const TMIBIfRow& row : table) IfStats.push_back(FirstReading(row));
}

std::optional<TTrafficTexts> UpdateInterfaceStats(const TMIBIfArray& table) {
  BandwidthSample = 0;
  if (table.empty()) return std::nullopt;
  if (IfStats.empty()) {
    InitInterfaceStats(table);
    return std::nullopt;
  }
  const TMIBIfRow& row = table.front();
  TInterfaceStat& stat = IfStats.front();
  if (row.Name != stat.Name) stat = FirstReading(row);
  stat.InDelta = row.dwInOctets - stat.LastInOctets;
  stat.LastInOctets = row.dwInOctets;
  stat.OutDelta = row.dwOutOctets - stat.LastOutOctets;
  stat.LastOutOctets = row.dwOutOctets;
  BandwidthSample = static_cast<int32_t>(stat.InDelta / 1000);
  return TTrafficTexts{Kilobytes(stat.InDelta), Kilobytes(stat.OutDelta)};
}

std::optional<TTrafficTexts> SampleInterfaces(bool init) {
  TMIBIfArray table;
  if (const auto source = TableSource().Get()) {
    source(table);
  } else {
    GetInterfaceTable(table);
  }
  if (init) {
    InitInterfaceStats(table);
    return std::nullopt;
  }
  return UpdateInterfaceStats(table);
}

void SetInterfaceTableSource(std::function<void(TMIBIfArray& table)> source) { TableSource().Set(std::move(source)); }

}  // namespace tov
