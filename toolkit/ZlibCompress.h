// Compression of page texts into zlib streams (header, deflate data, Adler-32
// of the input). Only compression exists here. Each thread keeps its own
// deflate state from call to call and nothing is shared between threads, so
// any number of threads compress at the same time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/SysUtils.h"

struct z_stream_s;

namespace tov {

TOV_DECLARE_EXCEPTION(EZLibError, Exception);
// Raised for a negative zlib result, with zlib's text for it.
TOV_DECLARE_EXCEPTION(EZCompressionError, EZLibError);

// Callers pass an index into this table, never a zlib level:
// 0 none, 1 fastest, 2 zlib's default, 3 best.
inline constexpr std::array<int, 4> ZLevels{0, 1, -1, 9};

// zlib's result texts, indexed by 2 minus the result code (2 down to -7).
inline constexpr std::array<const char*, 10> ZErrorMessages{
    "need dictionary", "stream end", "", "file error", "stream error",
    "data error", "insufficient memory", "buffer error", "incompatible version", ""};

// A block from the program's heap, freed with free().
struct ZLibBlockFree {
  void operator()(uint8_t* p) const noexcept { std::free(p); }
};
using ZLibBlock = std::unique_ptr<uint8_t[], ZLibBlockFree>;

// A negative code raises EZCompressionError with its text; any other code is
// returned unchanged.
int CompressCheck(int code);

// deflateInit_ with the level and the zlib version this program is built with.
int DeflateInitLevel(z_stream_s& stream, int level);

// Size of the first output block for an input of inSize bytes: inSize * 1.1 + 12,
// rounded up to a multiple of 256.
size_t CompressStartBlockSize(size_t inSize);

// Compresses inSize bytes at ZLevels[levelIndex] into a new block of exactly
// outSize bytes, which the caller owns. On failure out stays empty and the
// error passes on: EZCompressionError for zlib's errors (an index outside 0..3
// is zlib's "stream error"; an input above 2^31 - 1 bytes its "buffer error"),
// EOutOfMemory when the heap is exhausted.
void CompressBuffer(const void* in, size_t inSize, ZLibBlock& out, size_t& outSize, int levelIndex);

// CompressBuffer with a chosen first block size. The block grows by 256 bytes
// whenever deflate fills it; CompressBuffer starts from CompressStartBlockSize,
// which real inputs rarely outgrow, so tests drive the growth through here.
void CompressBufferWithStartSize(const void* in, size_t inSize, ZLibBlock& out, size_t& outSize,
                                 int levelIndex, size_t startSize);

// The compressed bytes of text, exactly as many as deflate produced.
std::string CompressString(std::string_view text, int levelIndex);

}  // namespace tov
