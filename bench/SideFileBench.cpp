// Entries per second that 100 download threads append to the side-file queue
// (pages of 20 KB compressed, thumbnails of 5 KB, spread over 10 storage
// servers), beside one thread doing the same file work (open for append, one
// write, close per entry) with no queue and no lock, and the same under one
// plain mutex from 100 threads. Each is timed twice: until the last write
// returned (the page cache) and until the files are on the disk (syncfs).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crawler/CrawlerEngine.h"
#include "crawler/SideFileQueue.h"
#include "platform/Files.h"

namespace {

constexpr int kThreads = 100;
constexpr int kPerThread = 100;
constexpr int kTotal = kThreads * kPerThread;
constexpr int kServers = 10;
constexpr size_t kHtml = 20 * 1024;
constexpr size_t kThumbnail = 5 * 1024;

std::string RandomBytes(size_t n, std::mt19937& gen) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

std::string Server(int n) { return "10.0.0." + std::to_string(n % kServers + 1); }

tov::ThumbnaleData Page(int n, const std::string& html, const std::string& thumb) {
  tov::ThumbnaleData rec;
  rec.PageType = "crawl";
  rec.DocID = std::to_string(n);
  rec.Status = "200";
  rec.Url = "http://www.example.org/some/path/page-" + std::to_string(n) + ".html";
  rec.Storage = Server(n);
  rec.PeerIP = "192.0.2.10";
  rec.Html = html;
  rec.Thumbnail = reinterpret_cast<const uint8_t*>(thumb.data());
  rec.ThumbnailSize = static_cast<int32_t>(thumb.size());
  return rec;
}

struct Timing {
  double cached = 1e30;  // until the last append returned
  double synced = 1e30;  // until the file system had it on the disk
};

// Runs fn(n) for every entry number, from `threads` threads, best of 3 rounds.
Timing Measure(const std::string& folder, int threads, const std::function<void(int)>& fn) {
  Timing best;
  for (int round = 0; round < 3; ++round) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    ::sync();
    tov::SideFilePending = 0;
    tov::InitSideFileQueue();
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    const int per = kTotal / threads;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([t, per, &fn] {
        for (int i = 0; i < per; ++i) fn(t * per + i);
      });
    }
    for (auto& th : pool) th.join();
    auto t1 = std::chrono::steady_clock::now();
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    ::syncfs(dir);
    ::close(dir);
    auto t2 = std::chrono::steady_clock::now();
    best.cached = std::min(best.cached, std::chrono::duration<double>(t1 - t0).count());
    best.synced = std::min(best.synced, std::chrono::duration<double>(t2 - t0).count());
  }
  return best;
}

void Print(const char* what, const Timing& t, double mb) {
  std::printf("%-44s %8.0f entries/s (%6.1f MB/s) cached, %8.0f entries/s (%6.1f MB/s) on disk\n", what,
              kTotal / t.cached, mb / t.cached, kTotal / t.synced, mb / t.synced);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string() + "/tov-sidefile-bench";
  std::filesystem::create_directories(base);
  tov::WorkDir = base;
  const std::string folder = tov::PathJoin(base, "sqtemp");
  std::mt19937 gen(5);
  const std::string html = RandomBytes(kHtml, gen);  // compressed pages look random
  const std::string thumb = RandomBytes(kThumbnail, gen);
  std::vector<std::string> entries;
  for (int n = 0; n < kTotal; ++n) entries.push_back(tov::EncodeSideFileEntry(Page(n, html, thumb)));
  const double mb = static_cast<double>(entries[0].size()) * kTotal / 1e6;

  auto file_work = [&](int n) {
    tov::TFile f = tov::TFile::OpenAppend(tov::PathJoin(folder, Server(n)));
    f.Write(entries[static_cast<size_t>(n)]);
    f.Close();
  };
  std::mutex plain;
  const Timing queue = Measure(folder, kThreads, [&](int n) { tov::AddToSideFileQueue(Page(n, html, thumb)); });
  const Timing locked = Measure(folder, kThreads, [&](int n) {
    std::lock_guard<std::mutex> lock(plain);
    file_work(n);
  });
  const Timing single = Measure(folder, 1, file_work);
  std::filesystem::remove_all(folder);

  std::printf("%d entries of %zu bytes (%.1f MB) into %s\n", kTotal, entries[0].size(), mb, folder.c_str());
  Print("AddToSideFileQueue, 100 threads:", queue, mb);
  Print("file work under one mutex, 100 threads:", locked, mb);
  Print("file work, 1 thread, no lock:", single, mb);
  std::printf("AddToSideFileQueue 100 threads / file work 1 thread: %.3f cached, %.3f on disk\n",
              single.cached / queue.cached, single.synced / queue.synced);
  return 0;
}
