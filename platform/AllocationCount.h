// The number of blocks the program holds from the C++ allocator. A program
// that links this replaces the global operator new and delete with ones that
// count; malloc itself keeps no such count.
#pragma once

#include <cstdint>

namespace tov {

// Blocks allocated with operator new (any form) and not yet deleted, in the
// whole process, shared libraries included; blocks that C code takes with
// malloc directly are not among them.
int64_t AllocMemCount();

}  // namespace tov
