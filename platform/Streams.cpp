#include "platform/Streams.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace tov {

TStream::~TStream() = default;

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

// ---- TMemoryStream ----

namespace {

[[noreturn]] void RaiseMemoryStreamError() {
  throw EStreamError("Out of memory while expanding memory stream");
}

void ResizeBlock(std::vector<uint8_t>& data, int64_t size) {
  try {
    data.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    RaiseMemoryStreamError();
  } catch (const std::length_error&) {
    RaiseMemoryStreamError();
  }
}

}  // namespace

// ReadByte may have moved fast_cur_; the window is the source of truth then.
void TMemoryStream::SyncPosition() {
  if (fast_end_ != nullptr) pos_ = fast_cur_ - data_.data();
}

void TMemoryStream::OpenWindow() {
  auto size = static_cast<int64_t>(data_.size());
  if (pos_ >= 0 && pos_ < size) {
    fast_cur_ = data_.data() + pos_;
    fast_end_ = data_.data() + size;
  } else {
    fast_cur_ = fast_end_ = nullptr;
  }
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  SyncPosition();
  auto size = static_cast<int64_t>(data_.size());
  size_t n = 0;
  if (pos_ < size) {
    n = std::min(count, static_cast<size_t>(size - pos_));
    if (n != 0) std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += static_cast<int64_t>(n);
  }
  OpenWindow();
  return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  SyncPosition();
  if (count == 0) return 0;
  if (count > static_cast<size_t>(std::numeric_limits<int64_t>::max() - pos_)) RaiseMemoryStreamError();
  int64_t end = pos_ + static_cast<int64_t>(count);
  if (end > static_cast<int64_t>(data_.size())) {
    fast_cur_ = fast_end_ = nullptr;  // the block may move
    ResizeBlock(data_, end);
  }
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ = end;
  OpenWindow();
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  SyncPosition();
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : static_cast<int64_t>(data_.size());
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  pos_ = target;
  OpenWindow();
  return pos_;
}

int64_t TMemoryStream::Size() { return static_cast<int64_t>(data_.size()); }

void TMemoryStream::SetSize(int64_t size) {
  SyncPosition();
  if (size < 0) size = 0;
  fast_cur_ = fast_end_ = nullptr;
  ResizeBlock(data_, size);
  if (pos_ > size) pos_ = size;
  OpenWindow();
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  pos_ = 0;
  OpenWindow();
}

// ---- TFileStream ----

namespace {

TFile OpenFileForStream(const std::string& fileName, uint16_t mode) {
  if (mode == fmCreate) {
    try {
      return TFile::Create(fileName);
    } catch (const EInOutError&) {
      throw EFCreateError(Format("Cannot create file %s", {fileName}));
    }
  }
  auto access = (mode & 0x0003) == fmOpenRead ? TFile::Mode::Read : TFile::Mode::ReadWrite;
  try {
    return TFile::OpenExisting(fileName, access);
  } catch (const EInOutError&) {
    throw EFOpenError(Format("Cannot open file %s", {fileName}));
  }
}

}  // namespace

TFileStream::TFileStream(const std::string& fileName, uint16_t mode)
    : file_name_(fileName), file_(OpenFileForStream(fileName, mode)) {}

size_t TFileStream::Read(void* buffer, size_t count) { return file_.Read(buffer, count); }

size_t TFileStream::Write(const void* buffer, size_t count) {
  file_.Write(buffer, count);
  return count;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(file_.Handle(), static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t TFileStream::Size() { return file_.Size(); }

}  // namespace tov
