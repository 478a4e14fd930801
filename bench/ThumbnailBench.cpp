// Thumbnail maker over a corpus of real pages: wall and CPU milliseconds per
// thumbnail with one thread and with 8, the memory a rendering thread and a
// render helper hold, and memory over many renders.
//
//   thumbnail_bench [--corpus DIR] [--renders N] [--helpers N] [--save DIR]
//
// The corpus is every .html file of 10 KB to 200 KB under DIR (by default the
// Python documentation of the Debian package python3.11-doc); without one the
// benchmark says so and exits 0. CPU time counts the calling thread and the
// render helpers, where the layout work is done.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/ThumbnailBenchSupport.h"
#include "platform/Files.h"
#include "platform/ThumbRenderPool.h"
#include "toolkit/MakeThumpnale.h"

namespace {

using Clock = std::chrono::steady_clock;
using tov::bench::Percentile;

constexpr int32_t kBufferSize = 20480;

struct Page {
  std::string name;
  std::string html;
};

std::vector<Page> LoadCorpus(const std::string& dir) {
  std::vector<Page> pages;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file() || it->path().extension() != ".html") continue;
    auto size = it->file_size();
    if (size < 10 * 1024 || size > 200 * 1024) continue;
    std::ifstream in(it->path(), std::ios::binary);
    pages.push_back({std::filesystem::relative(it->path(), dir).string(),
                     std::string(std::istreambuf_iterator<char>(in), {})});
  }
  std::sort(pages.begin(), pages.end(), [](const Page& a, const Page& b) { return a.name < b.name; });
  return pages;
}

double Ms(uint64_t ns) { return static_cast<double>(ns) / 1e6; }
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void PrintSpread(const char* what, const std::vector<double>& v) {
  std::printf("  %-22s median %6.2f  p90 %6.2f  p99 %6.2f  max %7.2f\n", what, Percentile(v, 50), Percentile(v, 90),
              Percentile(v, 99), v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()));
}

// One rendering thread: its maker, buffer and work file.
struct Renderer {
  explicit Renderer(const std::string& work_dir, int id)
      : file(work_dir + "/tmp/" + std::to_string(id) + ".html"), maker(file), buffer(kBufferSize) {}
  int32_t Render(const Page& page) {
    tov::bench::WriteWorkFile(file, page.html);
    int32_t size = kBufferSize;
    maker.MakeThumbnail(buffer.data(), size);
    return size;
  }
  std::string file;
  tov::TMakeThumpnale maker;
  std::vector<uint8_t> buffer;
};

bool Picture(int32_t size) { return size > 0 && size < kBufferSize; }

void SingleThreaded(const std::string& work_dir, const std::vector<Page>& pages, const std::string& save_dir) {
  Renderer r(work_dir, 1);
  r.Render(pages.front());  // starts the helper
  std::vector<double> wall, cpu, bytes;
  int none = 0;
  for (const Page& page : pages) {
    tov::bench::WriteWorkFile(r.file, page.html);
    std::vector<pid_t> helpers = tov::bench::HelperPids();
    uint64_t cpu0 = tov::bench::ThreadCpuNs() + tov::bench::CpuNs(helpers);
    Clock::time_point t0 = Clock::now();
    int32_t size = kBufferSize;
    r.maker.MakeThumbnail(r.buffer.data(), size);
    Clock::time_point t1 = Clock::now();
    uint64_t cpu1 = tov::bench::ThreadCpuNs() + tov::bench::CpuNs(helpers);
    wall.push_back(Ms(t1 - t0));
    cpu.push_back(Ms(cpu1 - cpu0));
    if (!Picture(size)) {
      ++none;
      continue;
    }
    bytes.push_back(size);
    if (!save_dir.empty() && (page.name == "index.html" || page.name == "tutorial/introduction.html" ||
                              page.name == "library/os.html" || page.name == "library/json.html")) {
      std::string out = page.name;
      std::replace(out.begin(), out.end(), '/', '_');
      std::ofstream(save_dir + "/" + out.substr(0, out.size() - 5) + ".jpg", std::ios::binary)
          .write(reinterpret_cast<const char*>(r.buffer.data()), size);
    }
  }
  std::printf("one thread, %zu pages (%d without picture), JPEG median %.0f bytes, max %.0f\n", pages.size(), none,
              Percentile(bytes, 50), bytes.empty() ? 0.0 : *std::max_element(bytes.begin(), bytes.end()));
  PrintSpread("wall ms per thumbnail", wall);
  PrintSpread("CPU ms per thumbnail", cpu);
}

void EightThreads(const std::string& work_dir, const std::vector<Page>& pages) {
  constexpr int kThreads = 8;
  std::vector<std::unique_ptr<Renderer>> renderers;
  for (int t = 0; t < kThreads; ++t) renderers.push_back(std::make_unique<Renderer>(work_dir, 100 + t));
  std::vector<std::thread> warm;
  for (auto& r : renderers) warm.emplace_back([&] { r->Render(pages.front()); });
  for (auto& t : warm) t.join();

  std::atomic<size_t> next{0};
  std::mutex mutex;
  std::vector<double> wall;
  std::atomic<int> none{0};
  std::vector<pid_t> helpers = tov::bench::HelperPids();
  uint64_t cpu0 = tov::bench::ProcessCpuNs() + tov::bench::CpuNs(helpers);
  Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (auto& r : renderers) {
    threads.emplace_back([&] {
      for (size_t i; (i = next++) < pages.size();) {
        tov::bench::WriteWorkFile(r->file, pages[i].html);
        Clock::time_point t0 = Clock::now();
        int32_t size = kBufferSize;
        r->maker.MakeThumbnail(r->buffer.data(), size);
        double ms = Ms(Clock::now() - t0);
        if (!Picture(size)) ++none;
        std::lock_guard<std::mutex> lock(mutex);
        wall.push_back(ms);
      }
    });
  }
  for (auto& t : threads) t.join();
  double elapsed = Ms(Clock::now() - start);
  uint64_t cpu1 = tov::bench::ProcessCpuNs() + tov::bench::CpuNs(helpers);
  std::printf("8 threads, %zu helpers, %zu pages (%d without picture): %.0f thumbnails/s\n", helpers.size(),
              pages.size(), none.load(), pages.size() / (elapsed / 1000.0));
  PrintSpread("wall ms per thumbnail", wall);
  std::printf("  %-22s mean   %6.2f (process and helpers together)\n", "CPU ms per thumbnail",
              Ms(cpu1 - cpu0) / static_cast<double>(pages.size()));
}

void MemoryFigures(const std::string& work_dir, const std::vector<Page>& pages) {
  // What one rendering thread holds in the calling process: its maker and
  // buffer (the thread's own stack aside).
  constexpr int kMakers = 100;
  size_t heap0 = mallinfo2().uordblks;
  std::vector<std::unique_ptr<Renderer>> makers;
  for (int i = 0; i < kMakers; ++i) makers.push_back(std::make_unique<Renderer>(work_dir, 1000 + i));
  size_t heap1 = mallinfo2().uordblks;
  makers.clear();
  std::printf("memory: each rendering thread holds %.1f KB of heap in the crawler (maker and 20480-byte buffer)\n",
              static_cast<double>(heap1 - heap0) / kMakers / 1024.0);
  tov::bench::Memory self = tov::bench::MemoryOf(0);
  std::printf("  this process: RSS %ld KB, private %ld KB\n", self.rss_kb, self.private_kb);
  for (pid_t pid : tov::bench::HelperPids()) {
    tov::bench::Memory m = tov::bench::MemoryOf(pid);
    std::printf("  render helper %d: RSS %ld KB, PSS %ld KB, private %ld KB, peak address space %ld KB\n", pid,
                m.rss_kb, m.pss_kb, m.private_kb, m.peak_address_space_kb);
  }
  (void)pages;
}

void Growth(const std::string& work_dir, const std::vector<Page>& pages, int renders) {
  constexpr int kThreads = 8;
  std::printf("growth over %d renders with 8 threads (sampled every %d):\n", renders, renders / 10);
  std::vector<std::unique_ptr<Renderer>> renderers;
  for (int t = 0; t < kThreads; ++t) renderers.push_back(std::make_unique<Renderer>(work_dir, 200 + t));
  std::atomic<int> done{0};
  int step = renders / 10;
  for (int sample = 1; sample <= 10; ++sample) {
    std::atomic<int> next{(sample - 1) * step};
    std::vector<std::thread> threads;
    for (auto& r : renderers) {
      threads.emplace_back([&] {
        for (int i; (i = next++) < sample * step;) r->Render(pages[static_cast<size_t>(i) % pages.size()]);
      });
    }
    for (auto& t : threads) t.join();
    long helpers_rss = 0, helpers_pss = 0, helpers_max = 0;
    std::vector<pid_t> helpers = tov::bench::HelperPids();
    for (pid_t pid : helpers) {
      tov::bench::Memory m = tov::bench::MemoryOf(pid);
      helpers_rss += m.rss_kb;
      helpers_pss += m.pss_kb;
      helpers_max = std::max(helpers_max, m.rss_kb);
    }
    tov::bench::Memory self = tov::bench::MemoryOf(0);
    std::printf("  after %5d: this process RSS %6ld KB, heap in use %6zu KB | %zu helpers: PSS %6ld KB, RSS %6ld KB, "
                "largest %6ld KB\n",
                sample * step, self.rss_kb, mallinfo2().uordblks / 1024, helpers.size(), helpers_pss, helpers_rss,
                helpers_max);
  }
  (void)done;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = "/usr/share/doc/python3.11/html";
  std::string save_dir;
  int renders = 10000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--corpus") == 0) corpus = argv[i + 1];
    if (std::strcmp(argv[i], "--renders") == 0) renders = std::max(10, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--helpers") == 0) {
      tov::ThumbRenderLimits limits = tov::GetThumbRenderLimits();
      limits.max_helpers = std::max(1, std::atoi(argv[i + 1]));
      tov::SetThumbRenderLimits(limits);
    }
    if (std::strcmp(argv[i], "--save") == 0) save_dir = std::filesystem::absolute(argv[i + 1]).string();
  }
  std::vector<Page> pages = LoadCorpus(corpus);
  if (pages.empty()) {
    std::printf("thumbnail_bench: no pages of 10 KB to 200 KB under %s (apt-get install python3.11-doc); skipped\n",
                corpus.c_str());
    return 0;
  }
  size_t total = 0;
  for (const Page& p : pages) total += p.html.size();
  std::printf("corpus: %zu pages under %s, %.0f KB on average\n", pages.size(), corpus.c_str(),
              static_cast<double>(total) / static_cast<double>(pages.size()) / 1024.0);
  std::string work_dir = tov::bench::EnterWorkDir();
  SingleThreaded(work_dir, pages, save_dir);
  EightThreads(work_dir, pages);
  MemoryFigures(work_dir, pages);
  Growth(work_dir, pages, renders);
  std::error_code ec;
  std::filesystem::remove_all(work_dir, ec);
  return 0;
}
