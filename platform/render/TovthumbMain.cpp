// Tovthumb: the render helper of the thumbnail extractor. It reads render
// requests on descriptor 3 and answers each with the picture, one page at a
// time, until the socket closes. Its parent kills it when a page takes too
// long; the alarm below ends it by itself should the parent be gone.
#include <sys/resource.h>
#include <unistd.h>

#include <QGuiApplication>
#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/ThumbRenderProtocol.h"
#include "platform/render/PageRenderer.h"

namespace {

constexpr int kSocketFd = 3;

bool ReadFull(void* buffer, size_t n) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    ssize_t r = ::read(kSocketFd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteFull(const std::string& bytes) {
  const char* p = bytes.data();
  size_t n = bytes.size();
  while (n > 0) {
    ssize_t r = ::write(kSocketFd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void QuietMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

// A page that makes the engine allocate without bound fails here instead of
// pressing on the volunteer's machine: a helper needs about 90 MB of data on
// the largest pages. The sanitizers map huge shadow ranges of their own, so
// their builds go without.
void LimitMemory() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  constexpr rlim_t kData = rlim_t{512} << 20;
  rlimit limit{kData, kData};
  setrlimit(RLIMIT_DATA, &limit);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  // Descriptors the parent left open without close-on-exec (its web
  // connections, say) must not live on in here.
  ::close_range(kSocketFd + 1, ~0U, 0);
  LimitMemory();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qInstallMessageHandler(QuietMessages);
  QGuiApplication app(argc, argv);

  tov::TPageRenderer renderer;
  renderer.WarmUp();
  tov::RenderReplyHeader ready;
  ready.status = tov::RenderStatus::Ready;
  if (!WriteFull(tov::EncodeRenderReply(ready, {}))) return 0;

  for (;;) {
    uint8_t raw[tov::kRenderHeaderSize];
    if (!ReadFull(raw, sizeof raw)) return 0;  // the parent closed the socket
    tov::RenderRequestHeader request;
    try {
      request = tov::DecodeRenderRequestHeader(raw);
    } catch (const std::exception&) {
      return 1;
    }
    std::string page(request.page_length, '\0');
    if (!ReadFull(page.data(), page.size())) return 0;

    ::alarm(request.limit_seconds);
    tov::BitmapPixels picture;
    bool ok = renderer.Render(page, static_cast<int>(request.width), static_cast<int>(request.height), picture);
    ::alarm(0);

    tov::RenderReplyHeader reply;
    std::string pixels;
    if (ok && picture.width > 0 && picture.height > 0) {
      reply.status = tov::RenderStatus::Picture;
      reply.width = static_cast<uint32_t>(picture.width);
      reply.height = static_cast<uint32_t>(picture.height);
      pixels.assign(picture.rgb.begin(), picture.rgb.end());
    }
    if (!WriteFull(tov::EncodeRenderReply(reply, pixels))) return 0;
  }
}
