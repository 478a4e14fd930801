#include "toolkit/JpegImage.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace tov {

namespace {

// libjpeg reports errors by calling error_exit, which must not return: it
// jumps back into Encode, and only plain C data lives across that jump.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void OnMessage(j_common_ptr, int) {}

// Output into a malloc'ed buffer that grows by doubling; the caller frees it.
struct Destination {
  jpeg_destination_mgr pub;
  unsigned char* buffer;
  size_t capacity;
  size_t length;
};

void InitDestination(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<Destination*>(cinfo->dest);
  d->pub.next_output_byte = d->buffer;
  d->pub.free_in_buffer = d->capacity;
}

boolean EmptyDestination(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<Destination*>(cinfo->dest);
  auto* bigger = static_cast<unsigned char*>(std::realloc(d->buffer, d->capacity * 2));
  if (!bigger) {
    ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  }
  d->buffer = bigger;
  d->pub.next_output_byte = bigger + d->capacity;
  d->pub.free_in_buffer = d->capacity;
  d->capacity *= 2;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<Destination*>(cinfo->dest);
  d->length = d->capacity - d->pub.free_in_buffer;
}

// False with err->message filled when libjpeg fails.
bool Encode(const BitmapPixels& picture, int quality, Destination* dest, ErrorManager* err) {
  jpeg_compress_struct cinfo;
  cinfo.err = jpeg_std_error(&err->pub);
  err->pub.error_exit = OnError;
  err->pub.emit_message = OnMessage;
  if (setjmp(err->jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  dest->pub.init_destination = InitDestination;
  dest->pub.empty_output_buffer = EmptyDestination;
  dest->pub.term_destination = TermDestination;
  cinfo.dest = &dest->pub;
  cinfo.image_width = static_cast<JDIMENSION>(picture.width);
  cinfo.image_height = static_cast<JDIMENSION>(picture.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const size_t row = static_cast<size_t>(picture.width) * 3;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW line = const_cast<JSAMPROW>(picture.rgb.data() + row * cinfo.next_scanline);
    jpeg_write_scanlines(&cinfo, &line, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

void TJPEGImage::Assign(const TBitmap& bitmap) {
  if (bitmap.Empty()) {
    picture_ = BitmapPixels{};
    return;
  }
  picture_ = *bitmap.Handle();
}

void TJPEGImage::Compress() {
  data_.clear();
  const BitmapPixels& p = picture_;
  if (p.width <= 0 || p.height <= 0) throw EJPEG("JPEG image has no picture");
  if (p.rgb.size() != static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3) {
    throw EJPEG("Bitmap image is not valid");
  }
  ErrorManager err{};
  Destination dest{};
  dest.capacity = 4096;
  dest.buffer = static_cast<unsigned char*>(std::malloc(dest.capacity));
  if (!dest.buffer) throw EOutOfMemory("Out of memory");
  bool ok = Encode(picture_, quality_, &dest, &err);
  if (ok) data_.assign(reinterpret_cast<const char*>(dest.buffer), dest.length);
  std::free(dest.buffer);
  if (!ok) throw EJPEG(err.message);
}

}  // namespace tov
