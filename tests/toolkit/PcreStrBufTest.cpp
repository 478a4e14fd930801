#include "toolkit/StrBufUtils.h"

#include <gtest/gtest.h>

namespace tov {
namespace {

struct AppendCase {
  size_t bufferSize;
  size_t length;
  size_t count;
  size_t newBufferSize;
  size_t newLength;
};

TEST(StrBufAppend, GrowsByHalfAgainRoundedUpToFour) {
  const AppendCase cases[] = {
      {0, 0, 10, 16, 10},   // 10 * 1.5 = 15, rounded up to 16
      {0, 0, 1, 4, 1},
      {0, 0, 3, 4, 3},
      {0, 0, 4, 8, 4},
      {16, 10, 6, 16, 16},  // fits: the buffer keeps its length
      {16, 10, 7, 28, 17},
      {16, 10, 0, 16, 10},  // nothing to append
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("buffer " + std::to_string(c.bufferSize) + " length " + std::to_string(c.length) + " count " +
                 std::to_string(c.count));
    std::string buffer(c.bufferSize, '.');
    size_t length = c.length;
    const std::string source(c.count, 's');
    StrBufAppend(source.data(), c.count, buffer, length);
    EXPECT_EQ(buffer.size(), c.newBufferSize);
    EXPECT_EQ(length, c.newLength);
    EXPECT_EQ(buffer.substr(c.length, c.count), source);  // copied at length, not at the buffer's end
  }
}

TEST(StrBufAppend, ANullSourceAppendsNothing) {
  std::string buffer;
  size_t length = 0;
  StrBufAppend(nullptr, 5, buffer, length);
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(length, 0u);
}

TEST(StrBufAppend, ManyAppendsKeepEveryByte) {
  std::string buffer;
  size_t length = 0;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    const std::string piece(static_cast<size_t>(i % 17), static_cast<char>('a' + i % 26));
    StrBufAppend(piece.data(), piece.size(), buffer, length);
    expected += piece;
  }
  buffer.resize(length);
  EXPECT_EQ(buffer, expected);
}

TEST(CountChar, CountsFromAOneBasedStart) {
  const struct {
    const char* text;
    size_t start;
    size_t expected;
  } cases[] = {
      {"", 1, 0}, {"a$b$", 0, 0}, {"a$b$", 1, 2}, {"a$b$", 2, 2}, {"a$b$", 3, 1},
      {"a$b$", 4, 1}, {"a$b$", 5, 0}, {"$$$", 1, 3}, {"abc", 1, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CountChar(c.text, '$', c.start), c.expected) << c.text << " " << c.start;
}

}  // namespace
}  // namespace tov
