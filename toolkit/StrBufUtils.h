// Building long byte strings with few reallocations: the buffer string grows in
// steps of half again what is needed, so its length runs ahead of the data, and
// the caller keeps the data length and cuts the buffer to it at the end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tov {

// Copies count bytes from source into buffer at offset length and advances
// length. When the buffer is shorter than length + count it is resized to that
// sum times 1.5, rounded up to a multiple of 4. Nothing happens for a null
// source or a zero count. The source must not lie inside buffer.
void StrBufAppend(const char* source, size_t count, std::string& buffer, size_t& length);

// The number of bytes equal to character from the 1-based position start to
// the end of text; 0 for an empty text, a start of 0 or a start past the end.
size_t CountChar(std::string_view text, char character, size_t start);

}  // namespace tov
