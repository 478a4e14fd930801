#include "platform/JpegDecoder.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace tov {

namespace {

// libjpeg reports errors through error_exit, which must not return: it jumps
// back into Decode, across libjpeg's C frames only.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void OnError(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }

void OnMessage(j_common_ptr) {}

bool Decode(std::span<const uint8_t> bytes, BitmapPixels* out, ErrorManager* err) {
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&err->pub);
  err->pub.error_exit = OnError;
  err->pub.output_message = OnMessage;
  if (setjmp(err->jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  const uint64_t pixels = static_cast<uint64_t>(cinfo.output_width) * cinfo.output_height;
  if (pixels == 0 || pixels > kMaxJpegPixels || cinfo.output_components != 3) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  out->rgb.assign(pixels * 3, 0);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->rgb.data() + static_cast<size_t>(cinfo.output_scanline) * out->width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  // A picture cut short is not whole: libjpeg fills the missing rows and
  // only warns.
  const bool whole = err->pub.num_warnings == 0;
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return whole;
}

}  // namespace

BitmapPixels DecodeJpeg(std::span<const uint8_t> bytes) {
  BitmapPixels out;
  ErrorManager err{};
  if (bytes.empty() || !Decode(bytes, &out, &err)) return BitmapPixels{};
  return out;
}

}  // namespace tov
