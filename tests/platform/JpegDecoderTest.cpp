#include "platform/JpegDecoder.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"

namespace tov {
namespace {

std::span<const uint8_t> Span(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

// A JPEG of our own: the monitor's about picture.
std::string SampleJpeg() { return test::ReadFileBytes(test::SourceRoot() + "/monitor/AboutPicture.jpg"); }

TEST(DecodeJpeg, AWholePictureDecodesToRgbPixels) {
  const std::string jpeg = SampleJpeg();
  ASSERT_GT(jpeg.size(), 1000u);
  BitmapPixels p = DecodeJpeg(Span(jpeg));
  EXPECT_EQ(p.width, 130);
  EXPECT_EQ(p.height, 114);
  EXPECT_EQ(p.rgb.size(), 130u * 114u * 3u);
}

TEST(DecodeJpeg, WhatIsNoWholeJpegGivesAnEmptyPicture) {
  const std::string jpeg = SampleJpeg();
  std::string damaged = jpeg;
  damaged[2] = '\x00';  // the first marker is gone
  const std::string cases[] = {"", "not a picture", jpeg.substr(0, 2), jpeg.substr(0, jpeg.size() / 2), damaged};
  for (const std::string& bytes : cases) {
    BitmapPixels p = DecodeJpeg(Span(bytes));
    EXPECT_EQ(p.width, 0) << bytes.size();
    EXPECT_EQ(p.height, 0);
    EXPECT_TRUE(p.rgb.empty());
  }
}

}  // namespace
}  // namespace tov
