// The worst pages we could build for the layout engine, each through the
// thumbnail maker as a download thread uses it: how long the call holds the
// thread, what the helper spent, and whether a picture came out.
//
//   thumbnail_worst_pages [--limit-ms N]
//
// With the default limit of 2000 ms no call may hold its thread for much
// longer; a larger limit shows what the pages would cost without it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/ThumbnailBenchSupport.h"
#include "platform/PageCharset.h"
#include "platform/ThumbRenderPool.h"
#include "toolkit/MakeThumpnale.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kBufferSize = 20480;

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

struct Case {
  const char* name;
  std::function<std::string()> make;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"tables nested 12 deep", [] { return Repeat("<table><tr><td>", 12) + "x"; }},
      {"tables nested 16 deep", [] { return Repeat("<table><tr><td>", 16) + "x"; }},
      {"tables nested 20 deep", [] { return Repeat("<table><tr><td>", 20) + "x"; }},
      {"tables nested 10000 deep", [] { return Repeat("<table><tr><td>", 10000) + "x"; }},
      {"divs nested 100000 deep", [] { return Repeat("<div>", 100000) + "x"; }},
      {"bold nested 50000 deep", [] { return Repeat("<b>", 50000) + "x"; }},
      {"lists nested 5000 deep", [] { return Repeat("<ul><li>", 5000) + "x"; }},
      {"style attribute of 1 MB", [] { return "<div style=\"" + Repeat("color:red;", 100000) + "\">x</div>"; }},
      {"5 MB of text", [] { return "<p>" + Repeat("word ", 1000000); }},
      {"one word of 1 MB", [] { return "<p>" + Repeat("a", 1000000); }},
      {"pre line of 1 MB", [] { return "<pre>" + Repeat("ab ", 330000); }},
      {"table row of 50000 cells", [] { return "<table><tr>" + Repeat("<td>x", 50000); }},
      {"table of 700 x 700 cells", [] { return "<table>" + Repeat("<tr>" + Repeat("<td>x", 700), 700); }},
      {"colspan 1000 rowspan 65534",
       [] { return "<table><tr><td colspan=1000 rowspan=65534>x</td></tr>" + Repeat("<tr><td>y", 100); }},
      {"20000 floats", [] { return Repeat("<div style=\"float:left;width:3px\">x</div>", 20000); }},
      {"20000 style rules", [] {
         std::string s = "<style>";
         for (int i = 0; i < 20000; ++i) s += ".c" + std::to_string(i) + " div p span {color:red}\n";
         return s + "</style>" + Repeat("<div><p><span class=c1>x</span></p></div>", 2000);
       }},
      {"font-size 1000000px", [] { return "<p style=\"font-size:1000000px\">WWWW</p>"; }},
      {"widths of 2e9 px", [] {
         return Repeat("<div style=\"width:2000000000px;margin-left:-2000000000px;padding:2000000000px\">x</div>", 100);
       }},
      {"30000 inline blocks", [] { return Repeat("<span style=\"display:inline-block\">x</span>", 30000); }},
      {"20000 positioned boxes", [] { return Repeat("<div style=\"position:absolute;top:1px;left:1px\">x</div>", 20000); }},
      {"1 MB of entities", [] { return "<p>" + Repeat("&#x1F600;&amp;&eacute; ", 50000); }},
  };
  return cases;
}

struct Result {
  size_t raw = 0;
  size_t to_engine = 0;
  double wall_ms = 0;
  int32_t size = 0;
};

Result Run(tov::TMakeThumpnale& maker, const std::string& file, const Case& c) {
  Result r;
  std::string page = c.make();
  r.raw = page.size();
  r.to_engine = tov::PageToUtf8(page, tov::GetThumbRenderLimits().max_page_bytes).size();
  tov::bench::WriteWorkFile(file, page);
  std::vector<uint8_t> buffer(kBufferSize);
  r.size = kBufferSize;
  Clock::time_point t0 = Clock::now();
  maker.MakeThumbnail(buffer.data(), r.size);
  r.wall_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  return r;
}

std::string Outcome(int32_t size) {
  if (size > 0 && size < kBufferSize) return "picture, " + std::to_string(size) + " B";
  return "no picture";
}

}  // namespace

int main(int argc, char** argv) {
  tov::ThumbRenderLimits limits = tov::GetThumbRenderLimits();
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--limit-ms") == 0) limits.time_limit_ms = std::max(1, std::atoi(argv[i + 1]));
  }
  tov::SetThumbRenderLimits(limits);
  std::string work_dir = tov::bench::EnterWorkDir();
  std::printf("time limit %d ms, at most %zu bytes to the layout engine\n", limits.time_limit_ms,
              limits.max_page_bytes);
  std::printf("%-28s %10s %10s %10s %10s  %s\n", "page", "bytes", "to engine", "wall ms", "helper ms", "outcome");

  std::string file = work_dir + "/tmp/1.html";
  tov::TMakeThumpnale maker(file);
  tov::bench::WriteWorkFile(file, "<p>start</p>");
  int32_t warm = kBufferSize;
  std::vector<uint8_t> buffer(kBufferSize);
  maker.MakeThumbnail(buffer.data(), warm);  // starts the helper

  for (const Case& c : Cases()) {
    uint64_t cpu0 = tov::bench::CpuNs(tov::bench::HelperPids());
    Result r = Run(maker, file, c);
    // A helper killed at the limit is gone: its CPU time counts as the wall time.
    uint64_t cpu1 = tov::bench::CpuNs(tov::bench::HelperPids());
    bool killed = !(r.size > 0 && r.size < kBufferSize) && r.wall_ms >= limits.time_limit_ms;
    std::string helper = killed ? "killed" : std::to_string(static_cast<long>((cpu1 - cpu0) / 1000000));
    std::printf("%-28s %10zu %10zu %10.0f %10s  %s\n", c.name, r.raw, r.to_engine, r.wall_ms, helper.c_str(),
                Outcome(r.size).c_str());
    std::fflush(stdout);
  }

  // All of them at once from 8 threads, as download threads would meet them.
  std::atomic<size_t> next{0};
  std::mutex mutex;
  double longest = 0;
  Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::string own = work_dir + "/tmp/" + std::to_string(10 + t) + ".html";
      tov::TMakeThumpnale m(own);
      for (size_t i; (i = next++) < Cases().size();) {
        Result r = Run(m, own, Cases()[i]);
        std::lock_guard<std::mutex> lock(mutex);
        longest = std::max(longest, r.wall_ms);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::printf("all %zu pages from 8 threads at once: %.0f ms in all, longest call %.0f ms\n", Cases().size(),
              std::chrono::duration<double, std::milli>(Clock::now() - start).count(), longest);
  return 0;
}
