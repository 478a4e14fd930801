// What the thumbnail benchmarks share: a private work directory with tmp/,
// the render helpers of this process and what they cost, and percentiles.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tov::bench {

// Makes a fresh directory with tmp/ in it and makes it the current one.
std::string EnterWorkDir();

// The work file as a download thread writes it: the BASE line, then the page.
void WriteWorkFile(const std::string& path, const std::string& page);

// Live render helpers started by this process.
std::vector<pid_t> HelperPids();
// CPU time of the given processes, all their threads, in nanoseconds.
uint64_t CpuNs(const std::vector<pid_t>& pids);
// CPU time of the calling thread and of this whole process, in nanoseconds.
uint64_t ThreadCpuNs();
uint64_t ProcessCpuNs();

struct Memory {
  long rss_kb = 0;
  long pss_kb = 0;
  long private_kb = 0;
  long peak_address_space_kb = 0;  // VmPeak
};
Memory MemoryOf(pid_t pid);  // 0 is this process

// The p-th percentile (0 to 100) of the values; 0 for none.
double Percentile(std::vector<double> values, double p);

}  // namespace tov::bench
