#include "platform/ByteCodec.h"

#include <gtest/gtest.h>

namespace tov {
namespace {

TEST(ShortString, AssignCutsToCapacity) {
  ShortString<5> s("abcdefgh");
  EXPECT_EQ(s.view(), "abcde");
  s = "xy";
  EXPECT_EQ(s.str(), "xy");
  EXPECT_EQ(s.size(), 2u);
}

TEST(ByteCodec, ShortStringRoundTripAndClampedLength) {
  std::array<uint8_t, 11> buf{};
  ByteWriter w(buf);
  w.PutShortString("hello world!", 10);
  EXPECT_EQ(buf[0], 10);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[1]), 10), "hello worl");

  buf[0] = 250;  // damaged length byte: reading stays inside the field
  ByteReader r(buf);
  EXPECT_EQ(r.GetShortString(10), "hello worl");
  EXPECT_EQ(r.Remaining(), 0u);
}

TEST(ByteCodec, LittleEndianIntegers) {
  std::array<uint8_t, 6> buf{};
  ByteWriter w(buf);
  w.PutI32(-2);
  w.PutU16(0x0102);
  EXPECT_EQ(buf[0], 0xFE);
  EXPECT_EQ(buf[3], 0xFF);
  EXPECT_EQ(buf[4], 0x02);
  ByteReader r(buf);
  EXPECT_EQ(r.GetI32(), -2);
  EXPECT_EQ(r.GetU16(), 0x0102);
}

TEST(ByteCodec, NeitherSideGoesPastTheBuffer) {
  std::array<uint8_t, 3> buf{};
  ByteWriter w(buf);
  EXPECT_THROW(w.PutI32(1), EStreamError);
  EXPECT_THROW(w.PutShortString("ab", 5), EStreamError);
  ByteReader r(buf);
  EXPECT_THROW(r.GetU32(), EStreamError);
  EXPECT_THROW(r.GetShortString(3), EStreamError);
  EXPECT_EQ(r.GetBytes(3).size(), 3u);
  EXPECT_THROW(r.GetU8(), EStreamError);
}

}  // namespace
}  // namespace tov
