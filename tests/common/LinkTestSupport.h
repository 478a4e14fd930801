// What the link's tests share: a private object directory per test and a
// reader of the trace buffer (the outside viewer that the programs lack).
#pragma once

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace tov::test {

// A fresh working directory whose "ipc" subdirectory holds this test's named
// objects (TOV_IPC_DIR, inherited by the programs the test starts).
class PrivateLinkDir {
 public:
  PrivateLinkDir();
  const std::string& IpcDir() const { return ipc_dir_; }

 private:
  ScopedWorkDir work_;
  std::string ipc_dir_;
};

// The texts of the trace buffer's entries from offset 4 up to its used
// offset, in order ("   Monitor: Monitor Activated", ...). Opening the
// buffer makes this process one of its holders.
std::vector<std::string> TraceLines();
// Waits until the trace holds at least n lines equal to line.
bool WaitForTrace(const std::string& line, int n = 1);

}  // namespace tov::test
