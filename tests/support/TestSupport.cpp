#include "tests/support/TestSupport.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/Files.h"
#include "platform/Threads.h"

namespace tov::test {

namespace {
std::atomic<uint64_t> g_requested{0};

void Fast(uint32_t ms) {
  g_requested += ms;
  // 10 s become 1 ms; every sleep still yields, so pollers do not spin.
  timespec ts{0, static_cast<long>(ms) * 100L + 1000L};
  nanosleep(&ts, nullptr);
}

// A folder a test program needs: absolute path, or empty with why not.
struct Folder {
  std::string path;
  std::string fault;
};

Folder FindFolder(const char* variable, const char* built, const char* what) {
  const char* set = std::getenv(variable);
  const std::string named = set != nullptr ? set : built;
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::absolute(named, ec);
  if (!ec && std::filesystem::is_directory(path, ec)) return {path.string(), ""};
  const std::string source = set != nullptr ? std::string(variable) + "=" + named : "the build's " + named;
  return {"", source + " is no folder; set " + variable + " to " + what};
}

const Folder& SourceRootFolder() {
  static const Folder folder = FindFolder("TOV_SOURCE_ROOT", TOV_BUILT_SOURCE_ROOT, "the top of the source tree");
  return folder;
}

const Folder& BinDirFolder() {
  static const Folder folder = FindFolder("TOV_BIN_DIR", TOV_BUILT_BIN_DIR, "the folder of the built programs");
  return folder;
}

// Before main, so a relative variable means the directory the program
// started in, whatever the tests do with theirs later.
[[maybe_unused]] const bool g_folders_found = (SourceRootFolder(), BinDirFolder(), true);

const std::string& PathOrStop(const Folder& folder) {
  if (folder.path.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, folder.fault.c_str());
    std::_Exit(2);
  }
  return folder.path;
}
}  // namespace

std::string SourceRoot() { return PathOrStop(SourceRootFolder()); }
std::string BinDir() { return PathOrStop(BinDirFolder()); }

ScopedWorkDir::ScopedWorkDir() : previous_(GetCurrentDir()) {
  std::string templ = (std::filesystem::temp_directory_path() / "tovtest-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
  if (::chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
}

ScopedWorkDir::~ScopedWorkDir() {
  if (::chdir(previous_.c_str()) != 0) {
  }
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
  std::filesystem::remove_all(path_, ec);
}

ScopedUmask::ScopedUmask(unsigned mask) : previous_(::umask(static_cast<mode_t>(mask))) {}
ScopedUmask::~ScopedUmask() { ::umask(static_cast<mode_t>(previous_)); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_ = true;
    previous_ = old;
  }
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    ::setenv(name_.c_str(), previous_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

int PermissionsOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

FastSleep::FastSleep() { SetSleepFunction(&Fast); }
FastSleep::~FastSleep() { SetSleepFunction(nullptr); }
uint64_t FastSleep::RequestedMs() { return g_requested.load(); }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::string text = ReadFileBytes(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ErrorLogMessages(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& line : ReadLines(path)) {
    size_t at = line.find(": ");  // the time holds colons, but none followed by a blank
    out.push_back(at == std::string::npos ? line : line.substr(at + 2));
  }
  return out;
}

}  // namespace tov::test
