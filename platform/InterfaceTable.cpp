#include "platform/InterfaceTable.h"

#include <net/if.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#include "platform/Files.h"

namespace tov {

namespace {

constexpr uint32_t kRouteUp = 0x0001;      // RTF_UP
constexpr uint32_t kRouteReject = 0x0200;  // RTF_REJECT

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

template <typename T>
std::optional<T> Number(std::string_view text, int base = 10) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

struct Candidate {
  std::string name;
  uint32_t metric = std::numeric_limits<uint32_t>::max();
};

void Consider(Candidate& best, std::string_view name, uint32_t flags, uint32_t metric) {
  if ((flags & kRouteUp) == 0 || (flags & kRouteReject) != 0 || name.empty() || name == "lo") return;
  if (best.name.empty() || metric < best.metric) best = {std::string(name), metric};
}

// Iface Destination Gateway Flags RefCnt Use Metric Mask ...
std::string DefaultIpv4(std::string_view route) {
  Candidate best;
  for (std::string_view line : Lines(route)) {
    std::vector<std::string_view> f = Fields(line);
    if (f.size() < 8 || f[1] != "00000000" || f[7] != "00000000") continue;
    auto flags = Number<uint32_t>(f[3], 16);
    auto metric = Number<uint32_t>(f[6]);
    if (flags && metric) Consider(best, f[0], *flags, *metric);
  }
  return best.name;
}

// dest prefixlen src prefixlen nexthop metric refcnt use flags device
std::string DefaultIpv6(std::string_view route) {
  Candidate best;
  for (std::string_view line : Lines(route)) {
    std::vector<std::string_view> f = Fields(line);
    if (f.size() < 10 || f[0] != std::string_view("00000000000000000000000000000000") || f[1] != "00") continue;
    auto metric = Number<uint32_t>(f[5], 16);
    auto flags = Number<uint32_t>(f[8], 16);
    if (flags && metric) Consider(best, f[9], *flags, *metric);
  }
  return best.name;
}

bool IsLoopbackInterface(const std::string& name) {
  std::string flags = ReadSystemFile("/sys/class/net/" + name + "/flags");
  while (!flags.empty() && (flags.back() == '\n' || flags.back() == ' ')) flags.pop_back();
  if (flags.rfind("0x", 0) == 0) {
    if (auto value = Number<uint32_t>(std::string_view(flags).substr(2), 16)) return (*value & IFF_LOOPBACK) != 0;
  }
  return name == "lo";
}

}  // namespace

TMIBIfArray ParseNetDev(std::string_view text) {
  TMIBIfArray table;
  for (std::string_view line : Lines(text)) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::vector<std::string_view> name = Fields(line.substr(0, colon));
    std::vector<std::string_view> f = Fields(line.substr(colon + 1));
    // Eight receive counters (bytes first), then eight transmit counters.
    if (name.size() != 1 || f.size() < 16) continue;
    std::vector<uint64_t> counters;
    for (size_t i = 0; i < 16; ++i) {
      if (auto n = Number<uint64_t>(f[i])) counters.push_back(*n);
    }
    if (counters.size() != 16) continue;
    table.push_back({std::string(name[0]), static_cast<uint32_t>(counters[0]), static_cast<uint32_t>(counters[8])});
  }
  return table;
}

std::string DefaultRouteInterface(std::string_view route, std::string_view ipv6_route) {
  std::string name = DefaultIpv4(route);
  return name.empty() ? DefaultIpv6(ipv6_route) : name;
}

void OrderInterfaces(TMIBIfArray& table, const std::string& first_name,
                     const std::function<bool(const std::string& name)>& is_loopback) {
  auto rank = [&](const TMIBIfRow& row) {
    if (!first_name.empty() && row.Name == first_name) return 0;
    return is_loopback(row.Name) ? 2 : 1;
  };
  std::vector<int> ranks;
  for (const TMIBIfRow& row : table) ranks.push_back(rank(row));
  std::vector<size_t> order(table.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return ranks[a] < ranks[b]; });
  TMIBIfArray sorted;
  sorted.reserve(table.size());
  for (size_t i : order) sorted.push_back(std::move(table[i]));
  table = std::move(sorted);
}

void GetInterfaceTable(TMIBIfArray& table) {
  table = ParseNetDev(ReadSystemFile("/proc/net/dev"));
  if (table.empty()) return;
  OrderInterfaces(table, DefaultRouteInterface(ReadSystemFile("/proc/net/route"), ReadSystemFile("/proc/net/ipv6_route")),
                  IsLoopbackInterface);
}

}  // namespace tov
