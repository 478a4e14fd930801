#include "platform/ThumbRenderProtocol.h"

#include "platform/ByteCodec.h"

namespace tov {

namespace {

constexpr uint32_t kRequestMagic = 0x51525654;  // "TVRQ"
constexpr uint32_t kReplyMagic = 0x50525654;    // "TVRP"

std::string Frame(uint32_t magic, uint32_t a, uint32_t b, uint32_t c, std::string_view body) {
  std::string out(kRenderHeaderSize + body.size(), '\0');
  ByteWriter w(std::span<uint8_t>(reinterpret_cast<uint8_t*>(out.data()), out.size()));
  w.PutU32(magic);
  w.PutU32(a);
  w.PutU32(b);
  w.PutU32(c);
  w.PutU32(static_cast<uint32_t>(body.size()));
  w.PutBytes(body);
  return out;
}

ByteReader Header(std::span<const uint8_t> bytes, uint32_t magic) {
  ByteReader r(bytes.first(bytes.size() < kRenderHeaderSize ? bytes.size() : kRenderHeaderSize));
  if (r.GetU32() != magic) throw EStreamError("Render frame has a wrong magic number");
  return r;
}

}  // namespace

std::string EncodeRenderRequest(const RenderRequestHeader& h, std::string_view page) {
  return Frame(kRequestMagic, h.width, h.height, h.limit_seconds, page);
}

std::string EncodeRenderReply(const RenderReplyHeader& h, std::string_view pixels) {
  return Frame(kReplyMagic, static_cast<uint32_t>(h.status), h.width, h.height, pixels);
}

RenderRequestHeader DecodeRenderRequestHeader(std::span<const uint8_t> bytes) {
  ByteReader r = Header(bytes, kRequestMagic);
  RenderRequestHeader h;
  h.width = r.GetU32();
  h.height = r.GetU32();
  h.limit_seconds = r.GetU32();
  h.page_length = r.GetU32();
  if (h.width < 1 || h.width > kMaxRenderSide || h.height < 1 || h.height > kMaxRenderSide ||
      h.page_length > kMaxRenderPage) {
    throw EStreamError("Render request out of range");
  }
  return h;
}

RenderReplyHeader DecodeRenderReplyHeader(std::span<const uint8_t> bytes) {
  ByteReader r = Header(bytes, kReplyMagic);
  RenderReplyHeader h;
  uint32_t status = r.GetU32();
  h.width = r.GetU32();
  h.height = r.GetU32();
  h.pixel_length = r.GetU32();
  if (status > static_cast<uint32_t>(RenderStatus::Ready)) throw EStreamError("Render reply out of range");
  h.status = static_cast<RenderStatus>(status);
  bool picture = h.status == RenderStatus::Picture;
  bool sides_ok = h.width >= 1 && h.width <= kMaxRenderSide && h.height >= 1 && h.height <= kMaxRenderSide;
  if (picture ? (!sides_ok || h.pixel_length != h.width * h.height * 3) : h.pixel_length != 0) {
    throw EStreamError("Render reply out of range");
  }
  return h;
}

}  // namespace tov
