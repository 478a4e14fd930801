#include "monitor/MemInfoLines.h"

#include <cstdint>
#include <iterator>

#include "platform/AllocationCount.h"
#include "platform/HeapStatus.h"

namespace tov {

namespace {

struct StatusLine {
  const char* label;
  uint64_t THeapStatus::*figure;
};

constexpr StatusLine kStatusLines[] = {
    {"TotalAddrSpace ", &THeapStatus::TotalAddrSpace}, {"TotalUncommitted ", &THeapStatus::TotalUncommitted},
    {"TotalCommitted ", &THeapStatus::TotalCommitted}, {"TotalAllocated ", &THeapStatus::TotalAllocated},
    {"TotalFree ", &THeapStatus::TotalFree},           {"FreeSmall ", &THeapStatus::FreeSmall},
    {"FreeBig ", &THeapStatus::FreeBig},               {"Unused ", &THeapStatus::Unused},
    {"Overhead ", &THeapStatus::Overhead},             {"HeapErrorCode ", &THeapStatus::HeapErrorCode},
};
constexpr int kStatusLineCount = static_cast<int>(std::size(kStatusLines));
static_assert(kStatusLineCount + 2 == kMemInfoLineCount);

}  // namespace

std::string MemInfoLine(int index) {
  if (index >= 0 && index < kStatusLineCount) {
    const StatusLine& line = kStatusLines[index];
    return line.label + std::to_string(GetHeapStatus().*line.figure);
  }
  if (index == kStatusLineCount) return "AllocMemSize " + std::to_string(AllocMemSize());
  if (index == kStatusLineCount + 1) return "AllocMemCount " + std::to_string(AllocMemCount());
  return {};
}

}  // namespace tov
