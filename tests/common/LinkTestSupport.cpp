#include "tests/common/LinkTestSupport.h"

#include <cstdlib>

#include "common/IpcLink.h"
#include "platform/ByteCodec.h"

namespace tov::test {

PrivateLinkDir::PrivateLinkDir() : ipc_dir_(work_.Path() + "/ipc") { ::setenv("TOV_IPC_DIR", ipc_dir_.c_str(), 1); }

std::vector<std::string> TraceLines() {
  TSharedMem mem("TRACE_BUFFER", TIPCTracer::kBufferSize);
  std::span<const uint8_t> bytes = mem.Bytes();
  uint32_t used = ByteReader(bytes).GetU32();
  std::vector<std::string> lines;
  uint32_t at = 4;
  while (at + 8 <= used && used <= bytes.size()) {
    ByteReader r(bytes.subspan(at, used - at));
    uint32_t size = r.GetU32();
    if (size < TIPCTracer::kEntryOverhead || size > used - at) break;
    r.GetU32();  // counter
    std::string text = r.GetBytes(size - TIPCTracer::kEntryOverhead + 12);
    lines.push_back(text);
    at += size;
  }
  return lines;
}

bool WaitForTrace(const std::string& line, int n) {
  return WaitUntil(
      [&] {
        int c = 0;
        for (const std::string& l : TraceLines()) c += l == line ? 1 : 0;
        return c >= n;
      },
      10000);
}

}  // namespace tov::test
