#include "toolkit/StrBufUtils.h"

#include <algorithm>
#include <cstring>

namespace tov {

void StrBufAppend(const char* source, size_t count, std::string& buffer, size_t& length) {
  if (source == nullptr || count == 0) return;
  const size_t needed = length + count;
  if (buffer.size() < needed) buffer.resize((needed + needed / 2 + 3) & ~static_cast<size_t>(3));
  std::memcpy(buffer.data() + length, source, count);
  length = needed;
}

size_t CountChar(std::string_view text, char character, size_t start) {
  if (text.empty() || start == 0 || start > text.size()) return 0;
  return static_cast<size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(start - 1), text.end(), character));
}

}  // namespace tov
