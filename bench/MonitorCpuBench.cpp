// The monitor's CPU time while it charts a running crawl. A copy of Tovwatch
// runs in a work directory of its own (with a crawler program beside it that
// ends at once); this program plays the crawler over the real link, reporting
// pages (mostly KindUrlOk, some KindUrlError and KindRobotsTxt) at a steady
// rate with a heartbeat after each, as the crawler's download threads do. The
// monitor's user and system time over the measured span (after a warm-up) is
// read from /proc.
//
//   monitor_cpu_bench [--seconds N] [--rate PAGES_PER_S]
//
// It runs once on Qt's offscreen platform (the window is drawn, into memory)
// and, when Xvfb is installed, once more on a virtual X display, where the
// window is drawn through X and the idle time comes from the screen-saver
// extension.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/Config.h"
#include "common/IpcThreads.h"
#include "common/MessageKinds.h"
#include "platform/Processes.h"
#include "platform/SysUtils.h"

extern char** environ;

namespace tov {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& cwd,
            int stdout_fd = -1) {
  std::vector<std::string> a = args;
  std::vector<char*> argv;
  for (std::string& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> e = env;
  std::vector<char*> envp;
  for (std::string& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, 2);
  }
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Environment of this process without the display and platform variables.
std::vector<std::string> BaseEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string v = *e;
    if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0 || v.rfind("QT_QPA_PLATFORM=", 0) == 0) {
      continue;
    }
    env.push_back(v);
  }
  return env;
}

// utime + stime of a process in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  size_t i = close + 2;
  while (i < stat.size() && fields.size() < 13) {
    size_t end = stat.find(' ', i);
    fields.push_back(stat.substr(i, end - i));
    if (end == std::string::npos) break;
    i = end + 1;
  }
  if (fields.size() < 13) return -1;
  // fields[0] is the state; utime and stime are the 14th and 15th of the line.
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

// Xvfb on a free display while the object lives.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen", "0", "640x800x24"},
                 BaseEnvironment(), "");
    ::close(fds[1]);
    std::string number;
    char c;
    while (pid_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& Name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

struct Run {
  double seconds = 0;
  int pages = 0;
  double cpu = 0;
};

bool Measure(const std::string& display, double seconds, double rate, Run& run) {
  const fs::path root = fs::temp_directory_path() / ("tov-monitor-bench-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "bin");
  fs::create_directories(root / "run");
  fs::copy_file(fs::path(ProgramDir()) / "Tovwatch", root / "bin" / "Tovwatch");
  {
    std::ofstream crawler(root / "bin" / "Tovfetch");
    crawler << "#!/bin/sh\nexit 0\n";
  }
  fs::permissions(root / "bin" / "Tovfetch", fs::perms::owner_all);
  ConfigData config;
  config.MaxCrawlers = 20;
  config.CrawlWhenUse = 2;
  config.CrawlWhenIdle = 10;
  config.IdleTimeToChange = 300;
  auto bytes = EncodeConfig(config);
  std::ofstream((root / "run" / "Config.bin").string(), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const std::string ipc = (root / "ipc").string();
  ::setenv("TOV_IPC_DIR", ipc.c_str(), 1);

  std::vector<std::string> env = BaseEnvironment();
  env.push_back(display.empty() ? "QT_QPA_PLATFORM=offscreen" : "DISPLAY=" + display);
  int out = ::open((root / "run" / "tovwatch.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t monitor = Spawn({(root / "bin" / "Tovwatch").string()}, env, (root / "run").string(), out);
  ::close(out);
  if (monitor <= 0) return false;

  auto client = TIPCThread::Create<TIPCClient>(CurrentProcessId(), "Tovfetch (v 0.82) - bench");
  client->Activate();
  const auto attach_deadline = Clock::now() + std::chrono::seconds(20);
  while (client->State() != stConnected && Clock::now() < attach_deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool attached = client->State() == stConnected;

  auto report = [&](int32_t kind, const std::string& text) {
    TIPCEventData data;
    data.Kind = kind;
    data.Text = text;
    client->SignalMonitor(data);
  };
  const auto interval = std::chrono::duration<double>(1.0 / rate);
  auto crawl = [&](double span, int& pages) {
    const auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < std::chrono::duration<double>(span)) {
      ++pages;
      report(pages % 10 == 3 ? KindUrlError : pages % 10 == 7 ? KindRobotsTxt : KindUrlOk, "");
      report(KindThreadCount, "10");
      next += std::chrono::duration_cast<Clock::duration>(interval);
      std::this_thread::sleep_until(next);
    }
  };
  int warm_up_pages = 0;
  if (attached) crawl(3.0, warm_up_pages);  // start-up and the first ticks are not measured
  const double cpu_before = CpuSeconds(monitor);
  const auto start = Clock::now();
  if (attached) crawl(seconds, run.pages);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpu = CpuSeconds(monitor) - cpu_before;

  client.reset();
  ::kill(monitor, SIGTERM);
  int status = 0;
  ::waitpid(monitor, &status, 0);
  fs::remove_all(root);
  if (!attached) std::fprintf(stderr, "the monitor did not attach this crawler\n");
  return attached && cpu_before >= 0;
}

void Print(const char* mode, const Run& r) {
  const double share = r.cpu / r.seconds * 100;
  std::printf("%-34s %5.1f s, %5d page reports + %5d heartbeats: monitor CPU %.3f s = %.2f%% of one core (%.0f ms per minute)\n",
              mode, r.seconds, r.pages, r.pages, r.cpu, share, r.cpu / r.seconds * 60000);
}

}  // namespace
}  // namespace tov

int main(int argc, char** argv) {
  double seconds = 60;
  double rate = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--rate") == 0) rate = std::atof(argv[i + 1]);
  }
  if (seconds <= 0 || rate <= 0) {
    std::fprintf(stderr, "usage: monitor_cpu_bench [--seconds N] [--rate PAGES_PER_S]\n");
    return 2;
  }
  std::printf("Tovwatch charting a crawl of %.0f pages/s (target: under 1%% of one core)\n", rate);
  tov::Run offscreen;
  if (!tov::Measure("", seconds, rate, offscreen)) return 1;
  tov::Print("offscreen platform:", offscreen);
  tov::VirtualDisplay display;
  if (display.Name().empty()) {
    std::printf("Xvfb not found: no run on an X display\n");
    return 0;
  }
  tov::Run x11;
  if (!tov::Measure(display.Name(), seconds, rate, x11)) return 1;
  tov::Print(("X display " + display.Name() + " (Xvfb):").c_str(), x11);
  return 0;
}
