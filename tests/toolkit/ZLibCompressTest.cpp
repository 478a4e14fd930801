#include "toolkit/ZlibCompress.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

namespace tov {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

// A page-like text: repetitive markup with some variety, and zero bytes.
std::string PageText(size_t n) {
  std::string s;
  std::mt19937 gen(7);
  while (s.size() < n) {
    s += "<p class=\"x\">item " + std::to_string(gen() % 1000) + " of the list</p>\n";
    if (gen() % 10 == 0) s.push_back('\0');
  }
  s.resize(n);
  return s;
}

std::string Inflate(const std::string& stream, size_t expected_size) {
  std::string out(expected_size + 1, '\0');
  uLongf out_len = static_cast<uLongf>(out.size());
  int r = uncompress(reinterpret_cast<Bytef*>(out.data()), &out_len,
                     reinterpret_cast<const Bytef*>(stream.data()), static_cast<uLong>(stream.size()));
  EXPECT_EQ(r, Z_OK);
  out.resize(out_len);
  return out;
}

std::string Compress2(const std::string& text, int level) {
  std::string out(compressBound(static_cast<uLong>(text.size())), '\0');
  uLongf out_len = static_cast<uLongf>(out.size());
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &out_len, reinterpret_cast<const Bytef*>(text.data()),
                      static_cast<uLong>(text.size()), level),
            Z_OK);
  out.resize(out_len);
  return out;
}

TEST(CompressCheckTest, NegativeCodesRaiseWithZlibsText) {
  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {{-1, "file error"},          {-2, "stream error"}, {-3, "data error"},
                        {-4, "insufficient memory"}, {-5, "buffer error"}, {-6, "incompatible version"},
                        {-7, ""}};
  for (const auto& c : cases) {
    try {
      CompressCheck(c.code);
      ADD_FAILURE() << "no exception for " << c.code;
    } catch (const EZLibError& e) {
      EXPECT_EQ(e.Message(), c.text) << c.code;
      EXPECT_STREQ(e.ClassName(), "EZCompressionError");
    }
  }
  for (int code : {0, 1, 2}) EXPECT_EQ(CompressCheck(code), code);
}

TEST(CompressStringTest, EmptyTextIsACompleteEightByteStream) {
  EXPECT_EQ(CompressStartBlockSize(0), 256u);
  EXPECT_EQ(CompressString("", 2), Bytes({0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
}

TEST(CompressStringTest, FirstBlockIsInputTimesOnePointOnePlusTwelveRoundedUpTo256) {
  EXPECT_EQ(CompressStartBlockSize(1), 256u);
  EXPECT_EQ(CompressStartBlockSize(1000), 1280u);
  EXPECT_EQ(CompressStartBlockSize(2000), 2304u);  // 2212 rounded up
  EXPECT_EQ(CompressStartBlockSize(5242880), 5767424u);
}

// Each level index gives its zlib header, a stream that inflates back to the
// text, and the Adler-32 of the text at its end.
TEST(CompressStringTest, LevelIndexesGiveTheirHeadersAndCompleteStreams) {
  struct Case {
    int index;
    int zlib_level;
    int header_second_byte;
  };
  const Case cases[] = {{0, 0, 0x01}, {1, 1, 0x01}, {2, Z_DEFAULT_COMPRESSION, 0x9C}, {3, 9, 0xDA}};
  const std::string text = PageText(50000);
  const uLong adler = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(text.data()),
                              static_cast<uInt>(text.size()));
  for (const auto& c : cases) {
    std::string z = CompressString(text, c.index);
    ASSERT_GE(z.size(), 6u);
    EXPECT_EQ(static_cast<unsigned char>(z[0]), 0x78) << c.index;
    EXPECT_EQ(static_cast<unsigned char>(z[1]), c.header_second_byte) << c.index;
    EXPECT_EQ(Inflate(z, text.size()), text) << c.index;
    uLong tail = 0;
    for (size_t i = z.size() - 4; i < z.size(); ++i) tail = (tail << 8) | static_cast<unsigned char>(z[i]);
    EXPECT_EQ(tail, adler) << c.index;
    // Exactly deflate's output, nothing behind it: the same bytes as compress2.
    EXPECT_EQ(z, Compress2(text, c.zlib_level)) << c.index;
  }
}

TEST(CompressStringTest, LevelZeroStoresTheTextInsideTheFraming) {
  const std::string text = PageText(1000);
  std::string z = CompressString(text, 0);
  EXPECT_GT(z.size(), text.size());
  EXPECT_NE(z.find(text.substr(0, 200)), std::string::npos);
  EXPECT_EQ(Inflate(z, text.size()), text);
}

// Incompressible input from a tiny first block makes the block grow many
// times; the result must still be the same stream, trimmed to its length.
TEST(CompressBufferTest, GrowingFromASmallBlockGivesTheSameStream) {
  const std::string text = RandomBytes(100000, 3);
  ZLibBlock block;
  size_t size = 0;
  CompressBufferWithStartSize(text.data(), text.size(), block, size, 2, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.get()), size), CompressString(text, 2));

  CompressBuffer(text.data(), text.size(), block, size, 2);
  EXPECT_EQ(Inflate(std::string(reinterpret_cast<const char*>(block.get()), size), text.size()), text);
}

TEST(CompressBufferTest, LevelIndexOutsideTheTableIsAStreamErrorAndLeavesNoBlock) {
  const std::string text = PageText(3000);
  for (int index : {-1, 4, 100}) {
    ZLibBlock block(static_cast<uint8_t*>(std::malloc(4)));
    size_t size = 99;
    try {
      CompressBuffer(text.data(), text.size(), block, size, index);
      ADD_FAILURE() << "no exception for index " << index;
    } catch (const EZCompressionError& e) {
      EXPECT_EQ(e.Message(), "stream error");
    }
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, 0u);
  }
}

}  // namespace
}  // namespace tov
