// Link figures between two processes, in a private object directory:
//   1. round-trip time of one message record: the monitor (this process)
//      sends it to a client process, which sends it straight back;
//   2. the rate at which 100 threads of one client process (this process)
//      call SignalMonitor while attached to a monitor process.
// The other side is this program again, started with a role argument.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/IpcThreads.h"
#include "common/MessageKinds.h"
#include "platform/Threads.h"

extern char** environ;

namespace tov {
namespace {

using Clock = std::chrono::steady_clock;

// The bench's own kinds, beside the program's.
constexpr int32_t kCountRequest = 98;
constexpr int32_t kCountReply = 99;

constexpr int kTrips = 20000;
constexpr int kWarmUp = 1000;
constexpr int kThreads = 100;
constexpr int kCallsPerThread = 2000;

TIPCEventData Record(int32_t kind, const std::string& text = "") {
  TIPCEventData d;
  d.Kind = kind;
  d.Text = text;
  return d;
}

pid_t StartSelf(const char* role) {
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  char* argv[] = {self.data(), const_cast<char*>(role), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  return pid;
}

void WaitFor(const std::function<bool()>& pred) {
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "link did not come up\n");
      std::exit(1);
    }
    RealSleep(1);
  }
}

// Returns once a monitor's thread is in its loop, so a client started next
// is attached without racing the monitor's start-up.
void SettleMonitor(TIPCMonitor& monitor) {
  std::atomic<bool> updated{false};
  monitor.SetOnDirectoryUpdate([&](TIPCThread*) { updated = true; });
  TIPCEvent(nullptr, "MONITOR_EVENT", false).SignalID(evClientStop, 0);
  WaitFor([&] { return updated.load(); });
  monitor.SetOnDirectoryUpdate(nullptr);
}

// Client role of the round trip: sends every record straight back.
int EchoClient() {
  std::atomic<bool> done{false};
  auto client = TIPCThread::Create<TIPCClient>(static_cast<int32_t>(::getpid()), "echo");
  TIPCClient* c = client.get();
  client->SetOnSignal([&, c](TIPCThread*, const TIPCEventData& d) {
    if (d.Kind == KindExit) {
      done = true;
    } else {
      c->SignalMonitor(d);
    }
  });
  client->Activate();
  while (!done) RealSleep(5);
  return 0;
}

// Monitor role of the rate figure: counts what it is handed.
int CountingMonitor() {
  std::atomic<bool> done{false};
  std::atomic<int64_t> handed{0};
  auto monitor = TIPCMonitor::Create(static_cast<int32_t>(::getpid()), "Monitor");
  TIPCMonitor* m = monitor.get();
  monitor->SetOnSignal([&, m](TIPCThread*, const TIPCEventData& d) {
    if (d.Kind == KindExit) {
      done = true;
    } else if (d.Kind == kCountRequest) {
      m->SignalClient(Record(kCountReply, IntToStr(handed.load())));
    } else {
      ++handed;
    }
  });
  monitor->Activate();
  while (!done) RealSleep(5);
  return 0;
}

void RoundTrip() {
  std::mutex mutex;
  std::condition_variable back;
  int64_t returned = 0;
  auto monitor = TIPCMonitor::Create(static_cast<int32_t>(::getpid()), "Monitor");
  monitor->SetOnSignal([&](TIPCThread*, const TIPCEventData&) {
    std::lock_guard<std::mutex> lock(mutex);
    ++returned;
    back.notify_one();
  });
  monitor->Activate();
  SettleMonitor(*monitor);
  pid_t child = StartSelf("echo-client");
  WaitFor([&] { return monitor->State() == stConnected; });
  RealSleep(300);  // past the client's attach handling

  std::vector<double> us;
  us.reserve(kTrips);
  TIPCEventData record = Record(8, "round trip");
  for (int i = 0; i < kWarmUp + kTrips; ++i) {
    std::unique_lock<std::mutex> lock(mutex);
    int64_t want = returned + 1;
    auto t0 = Clock::now();
    lock.unlock();
    monitor->SignalClient(record);
    lock.lock();
    if (!back.wait_for(lock, std::chrono::seconds(5), [&] { return returned >= want; })) {
      std::fprintf(stderr, "record lost at trip %d\n", i);
      std::exit(1);
    }
    if (i >= kWarmUp) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  monitor->SignalClient(Record(KindExit));
  ::waitpid(child, nullptr, 0);
  monitor.reset();

  std::sort(us.begin(), us.end());
  double mean = 0;
  for (double v : us) mean += v;
  mean /= static_cast<double>(us.size());
  std::printf(
      "Round trip of one message record, monitor -> client -> monitor, two processes: %d trips, "
      "mean %.1f us, median %.1f us, p99 %.1f us, min %.1f us\n",
      kTrips, mean, us[us.size() / 2], us[us.size() * 99 / 100], us.front());
}

void SignalRate() {
  std::atomic<int64_t> handed{-1};
  auto client = TIPCThread::Create<TIPCClient>(static_cast<int32_t>(::getpid()), "flood");
  client->SetOnSignal([&](TIPCThread*, const TIPCEventData& d) {
    if (d.Kind == kCountReply) handed = StrToInt(d.Text.view());
  });
  client->Activate();
  RealSleep(100);  // the client's thread has decided there is no monitor to announce itself to
  pid_t child = StartSelf("counting-monitor");
  WaitFor([&] { return client->State() == stConnected; });
  RealSleep(300);

  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TIPCEventData d = Record(8 + t % 3);
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kCallsPerThread; ++i) client->SignalMonitor(d);
    });
  }
  auto t0 = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  RealSleep(200);
  client->SignalMonitor(Record(kCountRequest));
  WaitFor([&] { return handed.load() >= 0; });
  client->SignalMonitor(Record(KindExit));
  ::waitpid(child, nullptr, 0);
  client.reset();

  int64_t calls = static_cast<int64_t>(kThreads) * kCallsPerThread;
  std::printf(
      "SignalMonitor from %d threads of one process: %lld calls in %.3f s = %.0f calls/s; "
      "the monitor process was handed %lld of them (each waits for the one before to be taken)\n",
      kThreads, static_cast<long long>(calls), seconds, static_cast<double>(calls) / seconds,
      static_cast<long long>(handed.load()));
}

int Main(int argc, char** argv) {
  std::string role = argc > 1 ? argv[1] : "";
  if (role == "echo-client") return EchoClient();
  if (role == "counting-monitor") return CountingMonitor();
  char dir[] = "/tmp/tovlinkbench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  ::setenv("TOV_IPC_DIR", (std::string(dir) + "/ipc").c_str(), 1);
  RoundTrip();
  SignalRate();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}

}  // namespace
}  // namespace tov

int main(int argc, char** argv) { return tov::Main(argc, argv); }
