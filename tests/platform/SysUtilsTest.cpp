#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <climits>
#include <span>
#include <vector>

namespace tov {
namespace {

struct IntCase {
  std::string text;
  bool ok;
  int32_t value;
};

// Each text through both conversions: the value, or EConvertError.
void ExpectConversions(std::span<const IntCase> cases, SignedHex sign) {
  for (const auto& c : cases) {
    SCOPED_TRACE("text: [" + c.text + "]");
    int32_t v = 0;
    EXPECT_EQ(TryStrToInt(c.text, v, sign), c.ok);
    if (sign == SignedHex::Refused) {
      EXPECT_EQ(TryStrToInt(c.text, v), c.ok);  // the default
    }
    if (c.ok) {
      EXPECT_EQ(v, c.value);
      EXPECT_EQ(StrToInt(c.text, sign), c.value);
    } else {
      EXPECT_THROW(StrToInt(c.text, sign), EConvertError);
    }
  }
}

TEST(StrToInt, AcceptsAndRejectsAsTheConversionRulesSay) {
  const IntCase cases[] = {
      {"224", true, 224},
      {"   42", true, 42},
      {"0000000512", true, 512},
      {std::string("224\0\0\0\0\0\0\0", 10), true, 224},
      {"-17", true, -17},
      {"+17", true, 17},
      {"$1F", true, 31},
      {"x1f", true, 31},
      {"X10", true, 16},
      {"0x10", true, 16},
      {"0XfF", true, 255},
      {"$FFFFFFFF", true, -1},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"$100000000", false, 0},
      {"224       ", false, 0},  // digits followed by blanks
      {"", false, 0},
      {"   ", false, 0},
      {"-", false, 0},
      {"0x", false, 0},
      {"-$10", false, 0},  // hexadecimal only without a sign
      {"12a", false, 0},
      {"\t12", false, 0},  // only blanks are skipped
      {std::string("\0" "12", 3), false, 0},
  };
  ExpectConversions(cases, SignedHex::Refused);
}

// Where a sign is allowed before a hexadecimal prefix it negates the 32-bit
// pattern; everything else reads as without.
TEST(StrToInt, ASignBeforeAHexPrefixWhereAllowed) {
  const IntCase cases[] = {
      {"-$10", true, -16},
      {"+$10", true, 16},
      {"-0x10", true, -16},
      {"  -X1f", true, -31},
      {"-$FFFFFFFF", true, 1},
      {"-$80000000", true, INT32_MIN},
      {"$FFFFFFFF", true, -1},
      {"-17", true, -17},
      {"-2147483649", false, 0},
      {"-$100000000", false, 0},
      {"-$", false, 0},
      {"- $10", false, 0},
      {"--$10", false, 0},
      {"-$1G", false, 0},
  };
  ExpectConversions(cases, SignedHex::Allowed);
}

TEST(StrToInt, ErrorIsAConvertErrorByClassName) {
  try {
    StrToInt("abc");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EConvertError");
    EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
  }
}

struct FormatCase {
  std::string format;
  std::vector<FormatArg> args;
  std::string expected;
};

TEST(Format, FixedWidthFieldsOfTheRecords) {
  const std::string zeros("a\0b", 3);
  const FormatCase cases[] = {
      {"%-10.10s|", {std::string_view("crawl")}, "crawl     |"},
      {"%-10.10s|", {std::string_view("abcdefghijkl")}, "abcdefghij|"},
      {"%-3.3s|", {std::string_view("200")}, "200|"},
      {"%-10d|", {int64_t{1234}}, "1234      |"},
      {"%-8d|", {int64_t{5081}}, "5081    |"},
      {"%-2d|", {int64_t{5}}, "5 |"},
      {"%-1d", {int64_t{1}}, "1"},
      {"%X", {int64_t{4660}}, "1234"},
      {"%x", {int64_t{0xabc}}, "ABC"},
      {"%x", {int64_t{-1}}, "FFFFFFFF"},
      {"%10S: %S", {std::string_view("Monitor"), std::string_view("hi")}, "   Monitor: hi"},
      {"%s (%d)", {std::string_view("X"), int64_t{2}}, "X (2)"},
      {"%.3d", {int64_t{7}}, "007"},
      {"%5d", {int64_t{-7}}, "   -7"},
      {"%p", {int64_t{0x1234}}, "00001234"},
      {"100%%", {}, "100%"},
      {"%-s.", {std::string_view(zeros)}, std::string("a\0b.", 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(Format(c.format, c.args), c.expected);
  }
}

TEST(Format, MismatchedArgumentsRaiseConvertError) {
  EXPECT_THROW(Format("%d", {std::string_view("x")}), EConvertError);
  EXPECT_THROW(Format("%s", {int64_t{1}}), EConvertError);
  EXPECT_THROW(Format("%s %s", {std::string_view("x")}), EConvertError);
  EXPECT_THROW(Format("%q", {int64_t{1}}), EConvertError);
  EXPECT_THROW(Format("abc%", {}), EConvertError);
}

TEST(InOutError, TextsForTheNamedCodesAndOthers) {
  EXPECT_EQ(EInOutError(2).Message(), "File not found");
  EXPECT_EQ(EInOutError(3).Message(), "Invalid filename");
  EXPECT_EQ(EInOutError(4).Message(), "Too many open files");
  EXPECT_EQ(EInOutError(5).Message(), "File access denied");
  EXPECT_EQ(EInOutError(100).Message(), "Read beyond end of file");
  EXPECT_EQ(EInOutError(32).Message(), "I/O error 32");
  EXPECT_EQ(EInOutError(32).ErrorCode(), 32);
  EXPECT_STREQ(EInOutError(2).ClassName(), "EInOutError");
}

TEST(ExceptionClassName, NamesOwnAndForeignExceptions) {
  EXPECT_EQ(ExceptionClassName(EFilerError("x")), "EFilerError");
  EXPECT_EQ(ExceptionClassName(std::bad_alloc()), "EOutOfMemory");
  EXPECT_EQ(ExceptionClassName(std::runtime_error("x")), "Exception");
  try {
    Abort();
  } catch (...) {
    EXPECT_EQ(CurrentExceptionClassName(), "EAbort");
  }
  // A filer error is a stream error, as callers that catch the wider class expect.
  EXPECT_THROW(throw EFilerError("x"), EStreamError);
}

TEST(Text, CaseInsensitiveSearchesOnAscii) {
  EXPECT_TRUE(SameText("FrameSet", "frameset"));
  EXPECT_FALSE(SameText("frame", "frames"));
  EXPECT_TRUE(ContainsText("<html><FRAMESET rows=1>", "<frameset"));
  EXPECT_FALSE(ContainsText("<html>", "<frameset"));
  EXPECT_TRUE(ContainsText("text/HTML; charset=x", "text"));
  EXPECT_EQ(IntToHex(0x1234), "1234");
  EXPECT_EQ(IntToHex(0xAB, 8), "000000AB");
}

}  // namespace
}  // namespace tov
