// Pages per second that the crawler engine's download threads fetch, compress
// and queue, beside a plain libcurl multi-handle fetch of the same URLs at the
// same concurrency with the same request headers (what this machine's loopback
// and web server allow), with
// the CPU time per page and the peak resident memory of each run.
//
//   crawl_bench [--pages N] [--fast-pages N] [--thumb-pages N] [--threads 10,100]
//               [--rounds N]
//
// Two local web sites, each with 2000 pages of 20 KB and keep-alive:
//   stand-in  the tests' stand-in web site (tests/standins/web_site.py,
//             /gen/20.html?p=<n>), a Python server on 127.0.0.1:8001;
//   fast      a small C++ server in a child process on 127.0.0.1:8000, which
//             shows the engine's own ceiling where the fetch costs next to
//             nothing.
// A storage sink on 127.0.0.2:8080 takes what the storage sender ships.
// Everything runs in a private network namespace (the program re-executes
// itself through tests/netns_run.sh), and each measured configuration in a
// process of its own, so its peak memory is its own.
//
// Steady state: the download threads are started and allowed through their
// staggered start (200 ms per thread) before any page is queued; then the
// page queue is kept topped up to its 1500 records, so no thread meets an
// empty queue and its 10-second poll. The first 10% of the pages are a
// warm-up; rate and CPU time are taken over the rest. Each plain and engine
// run with thumbnails off is made --rounds times (3), taking turns; the
// report takes the median of each. With thumbnails on, the CPU time and
// peak memory of the render helpers (child processes) are included.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crawler/CrawlerEngine.h"
#include "crawler/UrlQueue.h"
#include "platform/Files.h"
#include "toolkit/ZlibCompress.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSitePages = 2000;
constexpr size_t kPageSize = 20 * 1024;
constexpr int kFastPort = 8000;
constexpr int kStandInPort = 8001;
constexpr const char* kSiteAddress = "127.0.0.1";
constexpr const char* kStorageAddress = "127.0.0.2";
constexpr const char* kVersion = "0.82";  // the version in the user agent

// ---- the web site and the storage sink (child process) ----

std::string PageBody(int n) {
  std::string body = "<html><head><title>Page " + std::to_string(n) + "</title></head><body>\n";
  unsigned x = static_cast<unsigned>(n) * 2654435761u + 1;
  while (body.size() < kPageSize - 20) {
    x = x * 1103515245u + 12345u;
    body += "<p>Paragraph " + std::to_string(x % 100000) + " of page " + std::to_string(n) +
            ": some ordinary text that a page would hold, with <a href=\"/p/" + std::to_string(x % kSitePages) +
            ".html\">a link</a>.</p>\n";
  }
  body.resize(kPageSize - 15);
  body += "</body></html>\n";
  return body;
}

int Listen(const char* address, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 512) != 0) {
    std::perror("listen");
    std::_Exit(2);
  }
  return fd;
}

void ServeConnection(int fd, const std::vector<std::string>* responses) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string in;
  char buf[8192];
  for (;;) {
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
      ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r <= 0) {
        ::close(fd);
        return;
      }
      in.append(buf, static_cast<size_t>(r));
    }
    int n = 0;
    size_t p = in.find("/p/");
    if (p != std::string::npos && p < end) n = std::atoi(in.c_str() + p + 3) % kSitePages;
    in.erase(0, end + 4);
    const std::string& out = (*responses)[static_cast<size_t>(n)];
    for (size_t sent = 0; sent < out.size();) {
      ssize_t w = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (w <= 0) {
        ::close(fd);
        return;
      }
      sent += static_cast<size_t>(w);
    }
  }
}

void Sink(int fd) {
  char buf[65536];
  while (::recv(fd, buf, sizeof buf, 0) > 0) {
  }
  ::close(fd);
}

[[noreturn]] void RunServers() {
  auto* responses = new std::vector<std::string>;
  for (int n = 0; n < kSitePages; ++n) {
    std::string body = PageBody(n);
    responses->push_back("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  int site = Listen(kSiteAddress, kFastPort);
  int sink = Listen(kStorageAddress, 8080);
  std::thread([sink] {
    for (;;) {
      int c = ::accept(sink, nullptr, nullptr);
      if (c >= 0) std::thread(Sink, c).detach();
    }
  }).detach();
  for (;;) {
    int c = ::accept(site, nullptr, nullptr);
    if (c >= 0) std::thread(ServeConnection, c, responses).detach();
  }
}

// Which site a run fetches from.
bool g_fast_site = true;

std::string PageUrl(int n) {
  const std::string host = "http://" + std::string(kSiteAddress) + ":";
  if (g_fast_site) return host + std::to_string(kFastPort) + "/p/" + std::to_string(n % kSitePages) + ".html";
  return host + std::to_string(kStandInPort) + "/gen/20.html?p=" + std::to_string(n % kSitePages);
}

// ---- measuring ----

double CpuSeconds(int who) {
  rusage ru{};
  ::getrusage(who, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Reads one "Name: value kB" field of /proc/<pid>/<file> (status, smaps_rollup).
long ProcKb(const std::string& pid, const char* file, const char* field) {
  std::ifstream in("/proc/" + pid + "/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return 0;
}

// CPU seconds, peak resident kB and proportional set size now (shared pages
// counted once among their sharers) of this process's living children (the
// thumbnail render helpers).
void ChildrenFigures(double& cpu, long& peak_kb, long& pss_kb) {
  cpu = 0;
  peak_kb = 0;
  pss_kb = 0;
  const std::string self = std::to_string(::getpid());
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  DIR* d = ::opendir("/proc");
  while (dirent* e = d ? ::readdir(d) : nullptr) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string stat;
    std::getline(in, stat);
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state, ppid, skip;
    fields >> state >> ppid;
    if (ppid != self) continue;
    for (int i = 0; i < 9; ++i) fields >> skip;  // pgrp .. cmajflt
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    cpu += (utime + stime) / tick;
    peak_kb += ProcKb(e->d_name, "status", "VmHWM:");
    pss_kb += ProcKb(e->d_name, "smaps_rollup", "Pss:");
  }
  if (d) ::closedir(d);
}

struct Figures {
  int failed = 0;
  int pages = 0;
  double seconds = 0;
  double cpu_seconds = 0;
  long peak_kb = 0;         // this process
  long helpers_peak_kb = 0;  // its render helpers' peak RSS, summed
  long helpers_pss_kb = 0;   // their proportional set size at the end, summed
};

void Print(const char* what, int threads, bool thumbs, const Figures& f) {
  std::printf("site=%s %s threads=%d thumbnails=%s pages=%d seconds=%.2f rate=%.1f cpu_ms_per_page=%.3f "
              "peak_rss_mb=%.1f helpers_peak_rss_mb=%.1f helpers_pss_mb=%.1f%s\n",
              g_fast_site ? "fast" : "stand-in", what, threads, thumbs ? "on" : "off", f.pages, f.seconds,
              f.pages / f.seconds,
              1000.0 * f.cpu_seconds / f.pages, f.peak_kb / 1024.0, f.helpers_peak_kb / 1024.0,
              f.helpers_pss_kb / 1024.0,
              f.failed > 0 ? (" FAILED PAGES: " + std::to_string(f.failed)).c_str() : "");
  std::fflush(stdout);
}

// ---- the engine ----

std::atomic<int> g_done{0};
std::atomic<int> g_failed{0};  // pages not answered 200
std::atomic<int> g_errors{0};

[[noreturn]] void RunEngine(int threads, bool thumbs, int pages) {
  const std::string dir = "/tmp/crawl_bench." + std::to_string(::getpid());
  std::filesystem::create_directories(dir + "/sqtemp");
  std::filesystem::create_directories(dir + "/tmp");
  if (::chdir(dir.c_str()) != 0) std::_Exit(2);

  tov::StartCrawler(
      [](const std::string&) {}, kVersion, [](const std::string&) {}, nullptr,
      [](uint8_t what) {
        if (what != tov::StatUrlOk) ++g_failed;
        ++g_done;
      },
      [](const std::string& line) {
        if (g_errors++ < 5) std::fprintf(stderr, "error log: %s\n", line.c_str());
      },
      [] {}, [] {}, false, "");
  tov::SetCrawlers(threads);
  while (tov::RunningThreadCount() < threads) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The last thread begins 200 ms per running thread after it started.
  std::this_thread::sleep_for(std::chrono::milliseconds(200 * threads + 500));

  const int warmup = pages / 10;
  const int total = warmup + pages;
  std::atomic<bool> feeding{true};
  std::thread producer([&] {
    for (int n = 0; n < total + threads && feeding;) {
      if (tov::UrlQueueCount() >= 1500) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      tov::UrlInfo info;
      info.Url = PageUrl(n);
      info.PageType = "crawl";
      info.DocID = std::to_string(n);
      info.Storage = kStorageAddress;
      info.Dato = "2026-12-10";
      info.MakeThumbnale = thumbs;
      tov::PutUrl(info);
      ++n;
    }
  });
  while (g_done < warmup) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const int start_done = g_done;
  const auto t0 = Clock::now();
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  double child_cpu0 = 0;
  long child_peak = 0;
  long child_pss = 0;
  ChildrenFigures(child_cpu0, child_peak, child_pss);
  while (g_done < total) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Figures f;
  f.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  f.pages = g_done - start_done;
  double child_cpu1 = 0;
  ChildrenFigures(child_cpu1, child_peak, child_pss);
  f.cpu_seconds = CpuSeconds(RUSAGE_SELF) - cpu0 + (child_cpu1 - child_cpu0);
  f.peak_kb = ProcKb("self", "status", "VmHWM:");
  f.helpers_peak_kb = child_peak;
  f.helpers_pss_kb = child_pss;
  f.failed = g_failed;
  feeding = false;
  producer.join();
  Print("engine", threads, thumbs, f);
  if (g_errors > 0) std::fprintf(stderr, "%d error-log lines\n", g_errors.load());
  std::_Exit(0);  // the parent removes the directory once the threads are gone with the process
}

// ---- the plain fetch ----

size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }

[[noreturn]] void RunPlain(int concurrency, int pages) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(concurrency));
  const int warmup = pages / 10;
  const int total = warmup + pages;
  int next = 0;
  int done = 0;
  int failed = 0;
  std::vector<std::string> urls(static_cast<size_t>(concurrency));
  auto start = [&](CURL* easy, size_t slot) {
    urls[slot] = PageUrl(next++);
    curl_easy_setopt(easy, CURLOPT_URL, urls[slot].c_str());
    curl_multi_add_handle(multi, easy);
  };
  // The same request as a download thread's, so the site does the same work
  // for both.
  curl_slist* headers = curl_slist_append(nullptr, "Accept: text/html");
  headers = curl_slist_append(headers, "Accept-Language: en");
  const std::string agent = tov::CrawlerUserAgent(kVersion);
  for (int i = 0; i < concurrency; ++i) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Discard);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, reinterpret_cast<void*>(static_cast<intptr_t>(i)));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());
    start(easy, static_cast<size_t>(i));
  }
  Clock::time_point t0;
  double cpu0 = 0;
  int running = 0;
  while (done < total) {
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      CURL* easy = m->easy_handle;
      long code = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
      if (m->data.result != CURLE_OK || code != 200) ++failed;
      curl_multi_remove_handle(multi, easy);
      if (++done == warmup) {
        t0 = Clock::now();
        cpu0 = CpuSeconds(RUSAGE_SELF);
      }
      intptr_t slot = 0;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, reinterpret_cast<char**>(&slot));
      if (next < total + concurrency) start(easy, static_cast<size_t>(slot));
    }
    curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  Figures f;
  f.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  f.pages = total - warmup;
  f.cpu_seconds = CpuSeconds(RUSAGE_SELF) - cpu0;
  f.peak_kb = ProcKb("self", "status", "VmHWM:");
  f.failed = failed;
  Print("plain", concurrency, false, f);
  std::_Exit(0);
}

// Runs one configuration in a process of its own, waits for it and removes
// its work directory.
void RunChild(const std::function<void()>& body) {
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) body();
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::filesystem::remove_all("/tmp/crawl_bench." + std::to_string(pid));
}

std::vector<int> ParseList(const char* text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int pages = 6000;
  int fast_pages = 30000;
  int thumb_pages = 400;
  int rounds = 3;
  std::vector<int> thread_counts{10, 100};
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--pages") pages = std::atoi(argv[i + 1]);
    if (a == "--fast-pages") fast_pages = std::atoi(argv[i + 1]);
    if (a == "--thumb-pages") thumb_pages = std::atoi(argv[i + 1]);
    if (a == "--rounds") rounds = std::atoi(argv[i + 1]);
    if (a == "--threads") thread_counts = ParseList(argv[i + 1]);
  }
  if (std::getenv("TOV_BENCH_NETNS") == nullptr) {
    ::setenv("TOV_BENCH_NETNS", "1", 1);
    std::vector<char*> args{const_cast<char*>(TOV_SOURCE_ROOT "/tests/netns_run.sh")};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::perror("netns_run.sh");
    return 2;
  }

  std::fflush(stdout);
  pid_t servers = ::fork();
  if (servers == 0) RunServers();
  const std::string standin_dir = "/tmp/crawl_bench_site." + std::to_string(::getpid());
  std::filesystem::create_directories(standin_dir);
  pid_t standin = ::fork();
  if (standin == 0) {
    const std::string script = TOV_SOURCE_ROOT "/tests/standins/web_site.py";
    const std::string port = std::to_string(kStandInPort);
    ::execlp("python3", "python3", script.c_str(), "--addr", kSiteAddress, "--port", port.c_str(), "--dir",
             standin_dir.c_str(), static_cast<char*>(nullptr));
    std::_Exit(2);
  }
  for (int i = 0; i < 500 && !tov::FileExists(standin_dir + "/ready"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  // Deflate alone, one thread: the least CPU time a page costs the engine.
  {
    std::vector<std::string> bodies;
    for (int n = 0; n < 200; ++n) bodies.push_back(PageBody(n));
    const double cpu0 = CpuSeconds(RUSAGE_THREAD);
    for (int round = 0; round < 5; ++round) {
      for (const std::string& b : bodies) tov::CompressString(b, 2);
    }
    std::printf("deflate alone: cpu_ms_per_page=%.3f (%zu-byte pages, zlib's default level)\n",
                1000.0 * (CpuSeconds(RUSAGE_THREAD) - cpu0) / 1000.0, kPageSize);
  }
  std::printf("pages per run: %d (stand-in site), %d (fast site), %d with thumbnails; %d distinct URLs of %zu bytes\n",
              pages, fast_pages, thumb_pages, kSitePages, kPageSize);
  std::fflush(stdout);
  for (bool fast : {false, true}) {
    g_fast_site = fast;
    const int n_pages = fast ? fast_pages : pages;
    for (int n : thread_counts) {
      // Plain and engine runs take turns, so a site whose speed drifts
      // (the Python one does) weighs on both alike.
      for (int round = 0; round < rounds; ++round) {
        RunChild([&] { RunPlain(n, n_pages); });
        RunChild([&] { RunEngine(n, false, n_pages); });
      }
      if (!fast) RunChild([&] { RunEngine(n, true, thumb_pages); });
    }
  }
  ::kill(servers, SIGKILL);
  ::kill(standin, SIGTERM);
  ::waitpid(servers, nullptr, 0);
  ::waitpid(standin, nullptr, 0);
  std::filesystem::remove_all(standin_dir);
  return 0;
}
