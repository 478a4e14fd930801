// Explicit little-endian encoding of the fixed records that cross a file, the
// link or the wire. Every read and write is bounds-checked against the record;
// nothing here casts a struct onto bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "platform/SysUtils.h"

namespace tov {

// A string[N]: one length byte and N bytes of room, held inline so records that
// hold them copy without allocating. Assigning cuts to N bytes.
template <size_t N>
class ShortString {
  static_assert(N >= 1 && N <= 255, "a short string holds 1 to 255 bytes");

 public:
  static constexpr size_t kCapacity = N;
  static constexpr size_t kEncodedSize = N + 1;

  ShortString() = default;
  ShortString(std::string_view s) { assign(s); }  // NOLINT: implicit like the record fields
  ShortString& operator=(std::string_view s) {
    assign(s);
    return *this;
  }
  void assign(std::string_view s) {
    len_ = static_cast<uint8_t>(s.size() < N ? s.size() : N);
    if (len_ > 0) std::memcpy(data_.data(), s.data(), len_);  // an empty view may have no data
  }
  std::string_view view() const { return std::string_view(data_.data(), len_); }
  std::string str() const { return std::string(view()); }
  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  void clear() { len_ = 0; }
  friend bool operator==(const ShortString& a, const ShortString& b) { return a.view() == b.view(); }
  friend bool operator==(const ShortString& a, std::string_view b) { return a.view() == b; }

 private:
  uint8_t len_ = 0;
  std::array<char, N> data_{};
};

// Writes into a fixed buffer; writing past its end raises EStreamError.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<uint8_t> out) : out_(out) {}
  void PutU8(uint8_t v) { Need(1)[0] = v; }
  void PutBool(bool v) { PutU8(v ? 1 : 0); }
  void PutI32(int32_t v) { PutU32(static_cast<uint32_t>(v)); }
  void PutU16(uint16_t v) {
    uint8_t* p = Need(2);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
  void PutU32(uint32_t v) {
    uint8_t* p = Need(4);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
  void PutBytes(std::string_view bytes) {
    if (bytes.empty()) return;
    std::memcpy(Need(bytes.size()), bytes.data(), bytes.size());
  }
  void PutZeros(size_t n) {
    if (n == 0) return;
    std::memset(Need(n), 0, n);
  }
  // string[capacity]: length byte (text cut to capacity), text, zero-filled room.
  void PutShortString(std::string_view s, size_t capacity) {
    size_t n = s.size() < capacity ? s.size() : capacity;
    PutU8(static_cast<uint8_t>(n));
    PutBytes(s.substr(0, n));
    PutZeros(capacity - n);
  }
  template <size_t N>
  void Put(const ShortString<N>& s) {
    PutShortString(s.view(), N);
  }
  size_t Position() const { return pos_; }

 private:
  uint8_t* Need(size_t n) {
    if (n > out_.size() - pos_) throw EStreamError("Record write beyond its end");
    uint8_t* p = out_.data() + pos_;
    pos_ += n;
    return p;
  }
  std::span<uint8_t> out_;
  size_t pos_ = 0;
};

// Reads from a fixed buffer; reading past its end raises EStreamError.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> in) : in_(in) {}
  uint8_t GetU8() { return Need(1)[0]; }
  bool GetBool() { return GetU8() != 0; }
  uint16_t GetU16() {
    const uint8_t* p = Need(2);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
  }
  uint32_t GetU32() {
    const uint8_t* p = Need(4);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
  }
  int32_t GetI32() { return static_cast<int32_t>(GetU32()); }
  std::string GetBytes(size_t n) {
    const uint8_t* p = Need(n);
    return std::string(reinterpret_cast<const char*>(p), n);
  }
  void Skip(size_t n) { Need(n); }
  // string[capacity]; a length byte above the capacity is clamped to it, so a
  // damaged record never reads outside its own room.
  std::string GetShortString(size_t capacity) {
    const uint8_t* p = Need(capacity + 1);
    // Safeguard: length bytes clamped. A damaged length byte stays inside its field.
    size_t n = p[0] < capacity ? p[0] : capacity;
    return std::string(reinterpret_cast<const char*>(p + 1), n);
  }
  template <size_t N>
  void Get(ShortString<N>& s) {
    s.assign(GetShortString(N));
  }
  size_t Position() const { return pos_; }
  size_t Remaining() const { return in_.size() - pos_; }

 private:
  const uint8_t* Need(size_t n) {
    if (n > in_.size() - pos_) throw EStreamError("Record read beyond its end");
    const uint8_t* p = in_.data() + pos_;
    pos_ += n;
    return p;
  }
  std::span<const uint8_t> in_;
  size_t pos_ = 0;
};

}  // namespace tov
