#include "platform/ThumbRenderProtocol.h"

#include <gtest/gtest.h>

#include "platform/ByteCodec.h"
#include "platform/SysUtils.h"

namespace tov {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string Header(uint32_t magic, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  std::string out(kRenderHeaderSize, '\0');
  ByteWriter w(std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()), out.size()));
  for (uint32_t v : {magic, a, b, c, d}) w.PutU32(v);
  return out;
}

constexpr uint32_t kRequest = 0x51525654;
constexpr uint32_t kReply = 0x50525654;

TEST(ThumbRenderProtocolTest, FramesRoundTrip) {
  std::string frame = EncodeRenderRequest({100, 80, 4, 5}, "<p>x</p>");
  ASSERT_EQ(frame.size(), kRenderHeaderSize + 8);
  RenderRequestHeader request = DecodeRenderRequestHeader(Bytes(frame));
  EXPECT_EQ(request.width, 100u);
  EXPECT_EQ(request.height, 80u);
  EXPECT_EQ(request.limit_seconds, 4u);
  EXPECT_EQ(request.page_length, 8u);  // the length is the page's, whatever the header said
  EXPECT_EQ(frame.substr(kRenderHeaderSize), "<p>x</p>");

  std::string pixels(2 * 3 * 3, 'p');
  RenderReplyHeader reply = DecodeRenderReplyHeader(Bytes(EncodeRenderReply({RenderStatus::Picture, 2, 3, 0}, pixels)));
  EXPECT_EQ(reply.status, RenderStatus::Picture);
  EXPECT_EQ(reply.pixel_length, pixels.size());
  EXPECT_EQ(DecodeRenderReplyHeader(Bytes(EncodeRenderReply({RenderStatus::Ready, 0, 0, 0}, ""))).status,
            RenderStatus::Ready);
}

TEST(ThumbRenderProtocolTest, DamagedHeadersAreRefused) {
  const std::string requests[] = {
      Header(kReply, 100, 100, 4, 0),           // a reply's magic
      Header(kRequest, 0, 100, 4, 0),           // no width
      Header(kRequest, 100, 1025, 4, 0),        // too high
      Header(kRequest, 100, 100, 4, 16u << 21), // a page past the frame limit
      Header(kRequest, 100, 100, 4, 0).substr(0, 12),
  };
  for (const std::string& h : requests) EXPECT_THROW(DecodeRenderRequestHeader(Bytes(h)), EStreamError);
  const std::string replies[] = {
      Header(kReply, 3, 0, 0, 0),              // unknown status
      Header(kReply, 0, 2, 2, 11),             // pixels that are not width * height * 3
      Header(kReply, 0, 0, 2, 0),              // a picture without width
      Header(kReply, 1, 0, 0, 5),              // no picture, yet pixels
      Header(kReply, 0, 70000, 1, 210000),     // wider than a picture may be
  };
  for (const std::string& h : replies) EXPECT_THROW(DecodeRenderReplyHeader(Bytes(h)), EStreamError);
}

}  // namespace
}  // namespace tov
