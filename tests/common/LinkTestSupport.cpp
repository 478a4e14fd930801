#include "tests/common/LinkTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/IpcLink.h"
#include "platform/ByteCodec.h"

namespace tov::test {

PrivateLinkDir::PrivateLinkDir() : ipc_dir_(work_.Path() + "/ipc") { ::setenv("TOV_IPC_DIR", ipc_dir_.c_str(), 1); }

namespace {

bool OtherUsersFolder(const std::string& path) {
  // Only root can give a folder away; nobody (65534) stands for the squatter.
  return ::geteuid() == 0 && ::mkdir(path.c_str(), 0700) == 0 && ::chown(path.c_str(), 65534, 65534) == 0;
}

bool FolderOpenToOthers(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 && ::chmod(path.c_str(), 01777) == 0;
}

bool LinkToOwnFolder(const std::string& path) {
  const std::string real = path + "-real";
  return ::mkdir(real.c_str(), 0700) == 0 && ::symlink(real.c_str(), path.c_str()) == 0;
}

}  // namespace

void ForEachUnusableLinkFolder(const std::string& root,
                               const std::function<void(const std::string& path, const std::string& what)>& check) {
  struct Folder {
    const char* what;
    bool (*make)(const std::string& path);
  };
  const Folder folders[] = {
      {"belongs to another user", &OtherUsersFolder},
      {"can be written by other users", &FolderOpenToOthers},
      {"is not a folder", &LinkToOwnFolder},
  };
  const std::string home = root + "/home";
  ::mkdir(home.c_str(), 0755);
  ScopedEnv no_runtime("XDG_RUNTIME_DIR", nullptr);
  ScopedEnv home_env("HOME", home.c_str());
  int n = 0;
  for (const Folder& folder : folders) {
    for (bool moved : {true, false}) {
      const std::string path = moved ? root + "/moved-" + std::to_string(++n) : home + "/.tovrane-link";
      SCOPED_TRACE(path + " " + folder.what);
      if (!folder.make(path)) {
        std::printf("skipped: a folder that %s (needs root)\n", folder.what);
        continue;
      }
      ScopedEnv where("TOV_IPC_DIR", moved ? path.c_str() : nullptr);
      check(path, folder.what);
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  }
}

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
