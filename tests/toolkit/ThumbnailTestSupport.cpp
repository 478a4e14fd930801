#include "tests/toolkit/ThumbnailTestSupport.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "platform/ByteCodec.h"
#include "tests/support/TestSupport.h"

namespace tov::test {

namespace {

struct DecodeError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void OnDecodeError(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<DecodeError*>(cinfo->err)->jump, 1); }

bool Decode(const uint8_t* data, size_t size, BitmapPixels* out, DecodeError* err) {
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&err->pub);
  err->pub.error_exit = OnDecodeError;
  if (setjmp(err->jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  out->rgb.resize(static_cast<size_t>(out->width) * out->height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->rgb.data() + static_cast<size_t>(cinfo.output_scanline) * out->width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

uint16_t BigEndian16(ByteReader& r) {
  uint8_t hi = r.GetU8();
  return static_cast<uint16_t>((hi << 8) | r.GetU8());
}

}  // namespace

BitmapPixels DecodeJpeg(const uint8_t* data, size_t size) {
  BitmapPixels out;
  DecodeError err{};
  if (!Decode(data, size, &out, &err)) return BitmapPixels{};
  return out;
}

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
