// The memory manager's figures, for the monitor's diagnosis window. The
// allocator is glibc's malloc; its mallinfo2 figures stand in for the class
// library's heap status (each field says which).
#pragma once

#include <cstdint>

namespace tov {

struct THeapStatus {
  uint64_t TotalAddrSpace = 0;    // arena + hblkhd: all the allocator holds from the system
  uint64_t TotalUncommitted = 0;  // always 0: malloc reserves no address space ahead
  uint64_t TotalCommitted = 0;    // arena + hblkhd, as TotalAddrSpace
  uint64_t TotalAllocated = 0;    // uordblks + hblkhd: bytes in blocks in use
  uint64_t TotalFree = 0;         // fordblks: bytes in free chunks
  uint64_t FreeSmall = 0;         // fsmblks: bytes in free fastbin chunks
  uint64_t FreeBig = 0;           // fordblks - fsmblks
  uint64_t Unused = 0;            // keepcost: the never-used top of the heap
  uint64_t Overhead = 0;          // always 0: malloc counts its headers in uordblks
  uint64_t HeapErrorCode = 0;     // always 0: malloc aborts on a damaged heap
};

// The figures at the moment of the call.
THeapStatus GetHeapStatus();
// Bytes in allocated blocks (uordblks + hblkhd). malloc keeps no count of
// the blocks; AllocationCount.h has the C++ allocator's.
int64_t AllocMemSize();

}  // namespace tov
