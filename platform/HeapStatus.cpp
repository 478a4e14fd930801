#include "platform/HeapStatus.h"

#include <malloc.h>

#include <limits>

namespace tov {

namespace {

int64_t Signed(size_t v) {
  return v > static_cast<size_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                       : static_cast<int64_t>(v);
}

}  // namespace

THeapStatus GetHeapStatus() {
  struct mallinfo2 m = ::mallinfo2();
  THeapStatus s;
  s.TotalAddrSpace = m.arena + m.hblkhd;
  s.TotalCommitted = s.TotalAddrSpace;
  s.TotalAllocated = m.uordblks + m.hblkhd;
  s.TotalFree = m.fordblks;
  s.FreeSmall = m.fsmblks;
  s.FreeBig = m.fordblks >= m.fsmblks ? m.fordblks - m.fsmblks : 0;
  s.Unused = m.keepcost;
  return s;
}

int64_t AllocMemSize() {
  struct mallinfo2 m = ::mallinfo2();
  return Signed(m.uordblks + m.hblkhd);
}

}  // namespace tov
