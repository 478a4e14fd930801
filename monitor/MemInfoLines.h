// The lines of the memory-information window, without the window.
#pragma once

#include <string>

namespace tov {

constexpr int kMemInfoLineCount = 12;

// Line index (0 to 11): its label text, which ends in a blank, then the
// figure read at this moment: the ten figures of the heap status as unsigned
// decimals, then AllocMemSize and AllocMemCount as signed ones (the count is
// of the blocks held from operator new).
std::string MemInfoLine(int index);

}  // namespace tov
