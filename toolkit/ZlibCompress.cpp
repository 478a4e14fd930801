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

// The deflate state of one level, kept per thread and reset for each text:
// setting one up costs a quarter of a megabyte of fresh memory, which
// dwarfs compressing a page.
class DeflateState {
 public:
  ~DeflateState() { Drop(); }
  // The state ready for a new stream; raises as deflateInit would.
  z_stream& Take(int level) {
    if (ready_) {
      if (deflateReset(&stream_) == Z_OK) return stream_;
      Drop();
    }
    std::memset(&stream_, 0, sizeof stream_);  // zlib's own memory routines serve a cleared record
    CompressCheck(DeflateInitLevel(stream_, level));
    ready_ = true;
    return stream_;
  }
  // After a failure the state is not trusted again.
  void Drop() {
    if (ready_) deflateEnd(&stream_);
    ready_ = false;
  }

 private:
  z_stream stream_;
  bool ready_ = false;
};

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

  ZLibBlock block;
  size_t size = startSize;
  ResizeBlock(block, size);

  const int level = ZLibLevel(levelIndex);
  thread_local std::array<DeflateState, ZLevels.size()> states;
  // A level outside the table gets a state of its own each time, so zlib
  // refuses it as it would any bad level.
  DeflateState refused;
  DeflateState& state = levelIndex >= 0 && levelIndex < static_cast<int>(ZLevels.size())
                            ? states[static_cast<size_t>(levelIndex)]
                            : refused;
  z_stream& stream = state.Take(level);
  stream.next_in = static_cast<Bytef*>(const_cast<void*>(in));
  stream.avail_in = static_cast<uInt>(inSize);
  stream.next_out = block.get();
  stream.avail_out = static_cast<uInt>(size);
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
    // The first failure is the one the caller hears about.
    state.Drop();
    throw;
  }

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
