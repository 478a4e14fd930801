// A stream wrapper through which XML documents are loaded and saved, so that
// the XML code can work on 8-bit (Windows-1252) text while files may hold
// UTF-16 with a byte-order mark.
//
// Reading: the first Read looks for a byte-order mark. FF FE (little-endian) or
// FE FF (big-endian) mean 16-bit text, which is narrowed to one byte per 16-bit
// unit as it is read; without a mark the bytes pass through unchanged. Writing:
// with Unicode set before the first Write, the mark FF FE is written first and
// every byte is widened to a little-endian unit. A wrapper is either a reader or
// a writer, fixed by its first Read or Write. In 16-bit mode positions and the
// size count characters behind the mark.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Streams.h"

namespace tov {

class TUtf8Stream : public TStream {
 public:
  using TNotifyEvent = std::function<void(TUtf8Stream& sender)>;

  enum : uint8_t { ModeUnused = 0, ModeReading = 1, ModeWriting = 2 };

  uint8_t Mode = ModeUnused;
  bool Unicode = false;  // detected by the first Read; set by the owner before the first Write
  TStream* Inner;        // not owned
  bool Swapped = false;  // the 16-bit text read is big-endian
  bool LossReported = false;
  // Called once per wrapper, the first time 16-bit text read holds characters
  // that Windows-1252 lacks (they arrive as "?").
  TNotifyEvent OnConversionLoss;

  explicit TUtf8Stream(TStream* inner) : Inner(inner) {}
  static std::unique_ptr<TUtf8Stream> Create(TStream* inner) { return std::make_unique<TUtf8Stream>(inner); }

  // Bytes of 8-bit text delivered: in 16-bit mode one per unit read; an odd
  // last byte is consumed but never delivered. EStreamError "Utf stream
  // unassigned" without an inner stream, "Cannot read from an UTF stream opened
  // for writing" after a Write.
  size_t Read(void* buffer, size_t count) override;
  // Bytes of 8-bit text the inner stream took (in 16-bit mode its byte count
  // halved). EStreamError "Cannot write to an UTF stream opened for reading"
  // after a Read; the mark is written all or EWriteError.
  size_t Write(const void* buffer, size_t count) override;
  // In 16-bit mode offsets and the result count characters behind the mark.
  // EStreamError "Cannot seek before reading or writing on UTF stream" before
  // the first Read or Write.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

 private:
  size_t ReadUnicode(uint8_t* out, size_t count);
  void DetectByteOrderMark();
  TStream& RequireInner() const;
};

}  // namespace tov
