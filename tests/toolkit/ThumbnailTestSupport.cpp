#include "tests/toolkit/ThumbnailTestSupport.h"

#include "platform/ByteCodec.h"
#include "platform/JpegDecoder.h"
#include "tests/support/TestSupport.h"

namespace tov::test {

namespace {

uint16_t BigEndian16(ByteReader& r) {
  uint8_t hi = r.GetU8();
  return static_cast<uint16_t>((hi << 8) | r.GetU8());
}

}  // namespace

BitmapPixels DecodeJpeg(const uint8_t* data, size_t size) { return tov::DecodeJpeg({data, size}); }

JpegLayout ReadJpegLayout(const uint8_t* data, size_t size) {
  JpegLayout layout;
  ByteReader r(std::span<const uint8_t>(data, size));
  if (r.GetU8() != 0xFF || r.GetU8() != 0xD8) return layout;
  while (r.Remaining() >= 4) {
    if (r.GetU8() != 0xFF) return layout;
    uint8_t marker = r.GetU8();
    uint16_t length = BigEndian16(r);
    if (length < 2 || r.Remaining() < length - 2u) return layout;
    ByteReader segment(std::span<const uint8_t>(data + r.Position(), length - 2u));
    r.Skip(length - 2u);
    if (marker == 0xDB && layout.first_luma_quant == 0) {
      uint8_t table = segment.GetU8();
      if ((table & 0x0F) == 0) layout.first_luma_quant = segment.GetU8();
    } else if (marker >= 0xC0 && marker <= 0xC2) {
      layout.baseline = marker == 0xC0;
      layout.precision = segment.GetU8();
      layout.height = BigEndian16(segment);
      layout.width = BigEndian16(segment);
      layout.components = segment.GetU8();
    } else if (marker == 0xDA) {
      break;  // entropy-coded data follows
    }
  }
  return layout;
}

void WriteWorkFile(const std::string& path, const std::string& page) {
  WriteFileBytes(path, "<BASE HREF=\"http://www.example.test/start.html\">\r\n" + page + "\r\n");
}

}  // namespace tov::test
