// Windows-1252, the 8-bit character set of the system's texts, against Unicode.
// The five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// stand for the C1 controls of the same value, as the system's own conversion
// treats them, so every byte survives a round trip.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tov {

// The code point of one Windows-1252 byte.
char32_t Cp1252ToUnicode(uint8_t byte);

// The Windows-1252 byte of a code point; false when the code page has none.
bool UnicodeToCp1252(char32_t code_point, uint8_t& byte);

// Appends the UTF-8 form of a code point. Values that are not Unicode scalar
// values (surrogates, above U+10FFFF) become U+FFFD.
void AppendUtf8(std::string& out, char32_t code_point);

// Windows-1252 text as UTF-8.
std::string Cp1252ToUtf8(std::string_view text);

}  // namespace tov
