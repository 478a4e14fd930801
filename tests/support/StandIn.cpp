#include "tests/support/StandIn.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
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

std::vector<std::filesystem::path> RequestFiles(const std::string& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("request-", 0) == 0 && e.path().extension() == ".bin") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
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

StandInUrlServer::StandInUrlServer(const std::string& dir, const std::string& script,
                                   const std::vector<std::string>& args)
    : process_("url_server.py", dir, Arguments(dir, script, args)) {}

std::vector<std::string> StandInUrlServer::Arguments(const std::string& dir, const std::string& script,
                                                     const std::vector<std::string>& args) {
  std::vector<std::string> out;
  if (!script.empty()) {
    std::filesystem::create_directories(dir);
    const std::string path = PathJoin(dir, "script.json");
    WriteFileBytes(path, script);
    out = {"--script", path};
  }
  out.insert(out.end(), args.begin(), args.end());
  return out;
}

std::vector<std::string> StandInUrlServer::Requests() const {
  std::vector<std::string> out;
  for (const auto& f : RequestFiles(process_.Dir())) out.push_back(ReadFileBytes(f.string()));
  return out;
}

size_t StandInUrlServer::CountRequests() const { return RequestFiles(process_.Dir()).size(); }

}  // namespace tov::test
