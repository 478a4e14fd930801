// What the link's tests share: a private object directory per test and a
// reader of the trace buffer (the outside viewer that the programs lack).
#pragma once

#include <functional>
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

// Runs check(path, what) for each link folder the programs must refuse:
// another user's folder (only when running as root; skipped otherwise), one
// that others may write into, and a symbolic link to a folder of the user's
// own. Each is tried where TOV_IPC_DIR names it and where the programs fall
// back to, in HOME (root + "/home", with XDG_RUNTIME_DIR unset); what is the
// folder's fault as the refusal words it.
void ForEachUnusableLinkFolder(const std::string& root,
                               const std::function<void(const std::string& path, const std::string& what)>& check);

// The texts of the trace buffer's entries from offset 4 up to its used
// offset, in order ("   Monitor: Monitor Activated", ...). Opening the
// buffer makes this process one of its holders.
std::vector<std::string> TraceLines();
// Waits until the trace holds at least n lines equal to line.
bool WaitForTrace(const std::string& line, int n = 1);

}  // namespace tov::test
