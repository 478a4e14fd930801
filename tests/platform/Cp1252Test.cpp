#include "platform/Cp1252.h"

#include <gtest/gtest.h>

namespace tov {
namespace {

TEST(Cp1252Test, HighBytesMapToTheirCharacters) {
  struct Case {
    uint8_t byte;
    char32_t code_point;
  } cases[] = {
      {0x41, U'A'},    {0x80, 0x20AC}, {0x82, 0x201A}, {0x8A, 0x0160}, {0x8C, 0x0152},
      {0x92, 0x2019},  {0x96, 0x2013}, {0x99, 0x2122}, {0x9F, 0x0178}, {0xA0, 0x00A0},
      {0xE5, 0x00E5},  {0xF8, 0x00F8}, {0xFF, 0x00FF},
      // Undefined in the code page: the C1 control of the same value.
      {0x81, 0x0081},  {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x9D, 0x009D},
  };
  for (const Case& c : cases) EXPECT_EQ(Cp1252ToUnicode(c.byte), c.code_point) << int(c.byte);
}

TEST(Cp1252Test, EveryByteSurvivesTheRoundTrip) {
  for (int b = 0; b < 256; ++b) {
    uint8_t back = 0;
    ASSERT_TRUE(UnicodeToCp1252(Cp1252ToUnicode(static_cast<uint8_t>(b)), back)) << b;
    EXPECT_EQ(back, b);
  }
}

TEST(Cp1252Test, CharactersOutsideTheCodePageHaveNoByte) {
  uint8_t byte = 0x3F;
  for (char32_t cp : {char32_t{0x0100}, char32_t{0x0080}, char32_t{0x009F}, char32_t{0x4E2D}, char32_t{0x1F600}}) {
    EXPECT_FALSE(UnicodeToCp1252(cp, byte)) << std::hex << static_cast<uint32_t>(cp);
  }
  EXPECT_EQ(byte, 0x3F);
}

TEST(Cp1252Test, ConvertsToUtf8) {
  EXPECT_EQ(Cp1252ToUtf8("a\x80\xE5\xF8\x99"), "a\xE2\x82\xAC\xC3\xA5\xC3\xB8\xE2\x84\xA2");
  std::string out;
  AppendUtf8(out, 0x1F600);
  AppendUtf8(out, 0xD800);    // a surrogate is no character
  AppendUtf8(out, 0x110000);  // nor is anything past U+10FFFF
  EXPECT_EQ(out, "\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tov
