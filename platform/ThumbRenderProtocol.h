// The frames between a thumbnail extractor and its render helper process, over
// a stream socket. A request carries the picture size, the helper's own time
// limit and the page as UTF-8; a reply carries the outcome and the pixels. The
// helper sends one Ready reply when it can take requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tov {

constexpr size_t kRenderHeaderSize = 20;
constexpr uint32_t kMaxRenderSide = 1024;
constexpr uint32_t kMaxRenderPage = 16u << 20;

struct RenderRequestHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t limit_seconds = 0;  // the helper ends itself when a page takes longer
  uint32_t page_length = 0;
};

enum class RenderStatus : uint32_t { Picture = 0, NoPicture = 1, Ready = 2 };

struct RenderReplyHeader {
  RenderStatus status = RenderStatus::NoPicture;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixel_length = 0;  // width * height * 3 for a picture, else 0
};

// Header and page in one frame.
std::string EncodeRenderRequest(const RenderRequestHeader& header, std::string_view page);
std::string EncodeRenderReply(const RenderReplyHeader& header, std::string_view pixels);

// Decoders raise EStreamError for a wrong magic number or values out of range,
// so a damaged frame is never trusted for a length.
RenderRequestHeader DecodeRenderRequestHeader(std::span<const uint8_t> bytes);
RenderReplyHeader DecodeRenderReplyHeader(std::span<const uint8_t> bytes);

}  // namespace tov
