#include "bench/ThumbnailBenchSupport.h"

#include "platform/ThumbRenderPool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tov::bench {

std::string EnterWorkDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "tovbench-XXXXXX").string();
  if (::mkdtemp(templ.data()) == nullptr || ::chdir(templ.c_str()) != 0 ||
      ::mkdir((templ + "/tmp").c_str(), 0755) != 0) {
    throw std::runtime_error("cannot make a work directory");
  }
  return templ;
}

void WriteWorkFile(const std::string& path, const std::string& page) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "<BASE HREF=\"http://www.example.test/page.html\">\r\n" << page << "\r\n";
}

std::vector<pid_t> HelperPids() {
  std::vector<int> pids = ThumbRenderHelperPids();
  return std::vector<pid_t>(pids.begin(), pids.end());
}

uint64_t CpuNs(const std::vector<pid_t>& pids) {
  uint64_t total = 0;
  for (pid_t pid : pids) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    for (dirent* e; dir && (e = ::readdir(dir));) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
      uint64_t ns = 0;
      if (in >> ns) total += ns;
    }
    if (dir) ::closedir(dir);
  }
  return total;
}

namespace {
uint64_t ClockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

uint64_t ThreadCpuNs() { return ClockNs(CLOCK_THREAD_CPUTIME_ID); }
uint64_t ProcessCpuNs() { return ClockNs(CLOCK_PROCESS_CPUTIME_ID); }

Memory MemoryOf(pid_t pid) {
  Memory m;
  std::ifstream in(pid == 0 ? std::string("/proc/self/smaps_rollup")
                            : "/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string key;
  long kb = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (!(fields >> key >> kb)) continue;
    if (key == "Rss:") m.rss_kb = kb;
    if (key == "Pss:") m.pss_kb = kb;
    if (key == "Private_Clean:" || key == "Private_Dirty:") m.private_kb += kb;
  }
  std::ifstream status(pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    if ((fields >> key >> kb) && key == "VmPeak:") m.peak_address_space_kb = kb;
  }
  return m;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace tov::bench
