// Byte streams in the class library's terms: an abstract stream with reads and
// writes of a counted number of bytes and a seek from the beginning, the current
// position or the end, a stream held in memory and a stream over a file.
// Position and size are byte counts; a wrapper stream that counts otherwise
// (16-bit text, say) overrides Seek and gets Position and Size from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/SysUtils.h"

namespace tov {

// Failures of the file stream's constructor and of the all-or-error transfers.
TOV_DECLARE_EXCEPTION(EFCreateError, EStreamError);
TOV_DECLARE_EXCEPTION(EFOpenError, EStreamError);
TOV_DECLARE_EXCEPTION(EReadError, EFilerError);
TOV_DECLARE_EXCEPTION(EWriteError, EFilerError);

// Where a seek offset counts from.
enum TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
 public:
  TStream() = default;
  virtual ~TStream();
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to count bytes; returns how many were read, 0 at the end.
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Writes up to count bytes; returns how many were taken.
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // Moves the position and returns the new one; -1 when the stream refuses the
  // move (a position before the start), the position then stays where it was.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  // The number of bytes in the stream; by default found by seeking to the end
  // and back.
  virtual int64_t Size();

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }

  // One byte: 1, or 0 at the end. Streams that hold their bytes in memory
  // serve it without a virtual call.
  size_t ReadByte(uint8_t& byte) {
    if (fast_cur_ != fast_end_) {
      byte = *fast_cur_++;
      return 1;
    }
    return Read(&byte, 1);
  }
  size_t ReadChar(char& ch) {
    uint8_t b = 0;
    size_t n = ReadByte(b);
    ch = static_cast<char>(b);
    return n;
  }

  // All count bytes or EReadError "Stream read error".
  void ReadBuffer(void* buffer, size_t count);
  // All count bytes or EWriteError "Stream write error".
  void WriteBuffer(const void* buffer, size_t count);

 protected:
  // The unread bytes of a stream that holds them in memory, for ReadByte. A
  // subclass that sets them keeps them in step with its position: ReadByte
  // advances fast_cur_ without telling it.
  const uint8_t* fast_cur_ = nullptr;
  const uint8_t* fast_end_ = nullptr;
};

// A stream over a growable block of memory, owned by the stream. The position
// may be moved past the end: reading there gives nothing, writing there fills
// the gap with zero bytes. Running out of memory raises EStreamError
// "Out of memory while expanding memory stream".
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;

  size_t Read(void* buffer, size_t count) final;
  size_t Write(const void* buffer, size_t count) final;
  int64_t Seek(int64_t offset, TSeekOrigin origin) final;
  int64_t Size() final;

  // The bytes; valid until the next write or size change.
  const uint8_t* Memory() const { return data_.data(); }
  // Cuts or extends (with zero bytes) the stream; a position past the new end
  // moves to the end.
  void SetSize(int64_t size);
  // Empty, position 0.
  void Clear();

 private:
  void SyncPosition();
  void OpenWindow();

  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// File open modes: one access mode, optionally or-ed with a share mode. The
// share modes are accepted for the callers' sake; Linux does not enforce them.
constexpr uint16_t fmCreate = 0xFFFF;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyNone = 0x0040;

// A stream over an open file, closed when the stream goes. Opening fails with
// EFOpenError "Cannot open file %s" or, for fmCreate, EFCreateError
// "Cannot create file %s". Read and write failures raise EInOutError with the
// system's code, so a failing disk never reads as the end of the file.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, uint16_t mode);

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;

  const std::string& FileName() const { return file_name_; }

 private:
  std::string file_name_;
  TFile file_;
};

}  // namespace tov
