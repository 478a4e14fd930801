#include "tests/support/StandIn.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace tov::test {

namespace {

std::string SourceRoot() {
  const char* root = std::getenv("TOV_SOURCE_ROOT");
  return root ? root : ".";
}

}  // namespace

StandInProcess::StandInProcess(const std::string& script, const std::string& dir, const std::vector<std::string>& args)
    : dir_(dir) {
  std::filesystem::create_directories(dir_);
  std::vector<std::string> all = {"python3", SourceRoot() + "/tests/standins/" + script, "--dir", dir_};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "python3", nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    ADD_FAILURE() << "cannot start the stand-in " << script;
    return;
  }
  ready_ = WaitUntil([&] { return FileExists(PathJoin(dir_, "ready")); }, 20000);
  EXPECT_TRUE(ready_) << "stand-in " << script << " did not come up";
}

StandInProcess::~StandInProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

}  // namespace tov::test
