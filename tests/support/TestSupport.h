// Helpers shared by the tests: a private working directory per test and a fast
// engine sleep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tov::test {

// Creates a fresh directory, makes it the current directory for the life of
// the object and removes it afterwards. Each test runs in its own process, so
// changing the process's directory is safe.
class ScopedWorkDir {
 public:
  ScopedWorkDir();
  ~ScopedWorkDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

// Makes every engine sleep last a ten-thousandth of what it asks for (10 s
// become 1 ms) and counts the milliseconds asked for.
class FastSleep {
 public:
  FastSleep();
  ~FastSleep();
  static uint64_t RequestedMs();
};

// The top of the source tree ($TOV_SOURCE_ROOT, else the tree this program
// was built from) and the folder of the built programs ($TOV_BIN_DIR, else
// the build's bin folder), both absolute. They are taken as the program
// starts, before any test changes directory. When the one asked for names no
// folder, the call says which variable to set and ends the program at once.
std::string SourceRoot();
std::string BinDir();

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// The lines of a file split at CR LF (or LF), without their ends.
std::vector<std::string> ReadLines(const std::string& path);
// The messages of an ErrorLog.txt, without their "<time> <date>: " stamps.
std::vector<std::string> ErrorLogMessages(const std::string& path = "ErrorLog.txt");

// Sets the process's umask for the life of the object (programs the test
// starts meanwhile inherit it) and puts the old one back afterwards.
class ScopedUmask {
 public:
  explicit ScopedUmask(unsigned mask);
  ~ScopedUmask();
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  unsigned previous_;
};

// Sets (or, with nullptr, unsets) an environment variable for the life of
// the object and puts the old value back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string previous_;
};

// The permission bits of path (symbolic links followed); -1 when it cannot
// be looked at.
int PermissionsOf(const std::string& path);

// Waits up to timeout_ms for pred() to become true, checking every 2 ms.
template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms = 5000);

}  // namespace tov::test

#include "tests/support/TestSupport.inl"
