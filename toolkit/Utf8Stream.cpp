#include "toolkit/Utf8Stream.h"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "platform/Cp1252.h"

namespace tov {

namespace {

// 16-bit units converted per block, so a large read needs no large buffer.
constexpr size_t kBlockUnits = 4096;

// Reads until count bytes or the end of the inner stream.
size_t ReadFull(TStream& stream, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    size_t n = stream.Read(buffer + done, count - done);
    if (n == 0) break;
    done += n;
  }
  return done;
}

}  // namespace

TStream& TUtf8Stream::RequireInner() const {
  if (Inner == nullptr) throw EStreamError("Utf stream unassigned");
  return *Inner;
}

void TUtf8Stream::DetectByteOrderMark() {
  std::array<uint8_t, 2> mark{};
  size_t n = ReadFull(*Inner, mark.data(), mark.size());
  Swapped = false;
  if (n == 2 && mark[0] == 0xFF && mark[1] == 0xFE) {
    Unicode = true;
  } else if (n == 2 && mark[0] == 0xFE && mark[1] == 0xFF) {
    Unicode = true;
    Swapped = true;
  } else {
    Unicode = false;
    if (n != 0) Inner->Seek(-static_cast<int64_t>(n), soCurrent);  // the bytes are data
  }
}

size_t TUtf8Stream::Read(void* buffer, size_t count) {
  if (Mode == ModeUnused) {
    Mode = ModeReading;
    LossReported = false;
    RequireInner();
    DetectByteOrderMark();
  }
  if (Mode != ModeReading) throw EStreamError("Cannot read from an UTF stream opened for writing");
  TStream& inner = RequireInner();
  if (!Unicode) return inner.Read(buffer, count);
  return ReadUnicode(static_cast<uint8_t*>(buffer), count);
}

size_t TUtf8Stream::ReadUnicode(uint8_t* out, size_t count) {
  std::vector<uint8_t> block(2 * std::min(count, kBlockUnits));
  size_t delivered = 0;
  while (delivered < count) {
    size_t want = std::min(count - delivered, kBlockUnits);
    size_t bytes = ReadFull(*Inner, block.data(), 2 * want);
    size_t units = bytes / 2;  // an odd last byte is consumed, not delivered
    bool lost = false;
    for (size_t i = 0; i < units; ++i) {
      uint8_t lo = block[2 * i];
      uint8_t hi = block[2 * i + 1];
      if (Swapped) std::swap(lo, hi);
      // Each unit gives one byte in its place; a unit the code page lacks
      // (half of a surrogate pair included) becomes "?".
      uint8_t ch = '?';
      if (!UnicodeToCp1252(static_cast<char32_t>(lo | (hi << 8)), ch)) {
        ch = '?';
        lost = true;
      }
      out[delivered + i] = ch;
    }
    delivered += units;
    if (lost && !LossReported) {
      LossReported = true;
      if (OnConversionLoss) OnConversionLoss(*this);
    }
    if (units < want) break;
  }
  return delivered;
}

size_t TUtf8Stream::Write(const void* buffer, size_t count) {
  if (Mode == ModeUnused) {
    Mode = ModeWriting;
    if (Unicode) {
      static constexpr uint8_t kMark[2] = {0xFF, 0xFE};
      RequireInner().WriteBuffer(kMark, sizeof kMark);
    }
  }
  if (Mode != ModeWriting) throw EStreamError("Cannot write to an UTF stream opened for reading");
  TStream& inner = RequireInner();
  if (!Unicode) return inner.Write(buffer, count);
  const auto* in = static_cast<const uint8_t*>(buffer);
  std::vector<uint8_t> block(2 * std::min(count, kBlockUnits));
  size_t taken = 0;
  for (size_t done = 0; done < count;) {
    size_t units = std::min(count - done, kBlockUnits);
    for (size_t i = 0; i < units; ++i) {
      char32_t cp = Cp1252ToUnicode(in[done + i]);
      block[2 * i] = static_cast<uint8_t>(cp & 0xFF);
      block[2 * i + 1] = static_cast<uint8_t>(cp >> 8);
    }
    size_t n = inner.Write(block.data(), 2 * units);
    taken += n;
    done += units;
    if (n < 2 * units) break;
  }
  return taken / 2;
}

int64_t TUtf8Stream::Seek(int64_t offset, TSeekOrigin origin) {
  if (Mode == ModeUnused) throw EStreamError("Cannot seek before reading or writing on UTF stream");
  TStream& inner = RequireInner();
  if (!Unicode) return inner.Seek(offset, origin);
  int64_t bytes = 0;
  if (__builtin_mul_overflow(offset, int64_t{2}, &bytes)) return -1;
  if (origin == soBeginning && __builtin_add_overflow(bytes, int64_t{2}, &bytes)) return -1;
  int64_t result = inner.Seek(bytes, origin);
  return (result - 2) / 2;
}

}  // namespace tov
