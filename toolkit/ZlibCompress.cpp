#include "toolkit/ZlibCompress.h"

#include <zlib.h>

#include <climits>
#include <cstring>

namespace tov {

namespace {

// Resizes the block; on exhaustion the old block stays owned by `block`.
void ResizeBlock(ZLibBlock& block, size_t size) {
  void* grown = std::realloc(block.get(), size == 0 ? 1 : size);
  if (grown == nullptr) throw EOutOfMemory("Out of memory");
  (void)block.release();
  block.reset(static_cast<uint8_t*>(grown));
}

int ZLibLevel(int levelIndex) {
  // zlib refuses this level with Z_STREAM_ERROR, so a bad index fails like
  // any other bad argument instead of reading outside the table.
  constexpr int kRefusedLevel = 10;
  if (levelIndex < 0 || levelIndex >= static_cast<int>(ZLevels.size())) return kRefusedLevel;
  return ZLevels[static_cast<size_t>(levelIndex)];
}

}  // namespace

int CompressCheck(int code) {
  if (code < 0) {
    int index = 2 - code;
    const char* text = index < static_cast<int>(ZErrorMessages.size()) ? ZErrorMessages[static_cast<size_t>(index)] : "";
    throw EZCompressionError(text);
  }
  return code;
}

int DeflateInitLevel(z_stream_s& stream, int level) {
  return deflateInit_(&stream, level, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
}

size_t CompressStartBlockSize(size_t inSize) { return (inSize + inSize / 10 + 12 + 255) & ~static_cast<size_t>(255); }

void CompressBufferWithStartSize(const void* in, size_t inSize, ZLibBlock& out, size_t& outSize,
                                 int levelIndex, size_t startSize) {
  out.reset();
  outSize = 0;
  if (inSize > static_cast<size_t>(INT32_MAX)) CompressCheck(Z_BUF_ERROR);

  z_stream stream;
  std::memset(&stream, 0, sizeof stream);  // zlib's own memory routines serve a cleared record
  ZLibBlock block;
  size_t size = startSize;
  ResizeBlock(block, size);

  stream.next_in = static_cast<Bytef*>(const_cast<void*>(in));
  stream.avail_in = static_cast<uInt>(inSize);
  stream.next_out = block.get();
  stream.avail_out = static_cast<uInt>(size);

  CompressCheck(DeflateInitLevel(stream, ZLibLevel(levelIndex)));
  try {
    int r = CompressCheck(deflate(&stream, Z_FINISH));
    while (r != Z_STREAM_END) {
      constexpr size_t kGrowth = 256;
      size += kGrowth;
      ResizeBlock(block, size);
      stream.next_out = block.get() + stream.total_out;
      stream.avail_out = static_cast<uInt>(kGrowth);
      r = CompressCheck(deflate(&stream, Z_FINISH));
    }
  } catch (...) {
    // The first failure is the one the caller hears about; deflateEnd only
    // releases the state here.
    deflateEnd(&stream);
    throw;
  }
  CompressCheck(deflateEnd(&stream));

  size_t produced = static_cast<size_t>(stream.total_out);
  ResizeBlock(block, produced);
  out = std::move(block);
  outSize = produced;
}

void CompressBuffer(const void* in, size_t inSize, ZLibBlock& out, size_t& outSize, int levelIndex) {
  CompressBufferWithStartSize(in, inSize, out, outSize, levelIndex, CompressStartBlockSize(inSize));
}

std::string CompressString(std::string_view text, int levelIndex) {
  ZLibBlock block;
  size_t size = 0;
  CompressBuffer(text.data(), text.size(), block, size, levelIndex);
  return std::string(reinterpret_cast<const char*>(block.get()), size);
}

}  // namespace tov
