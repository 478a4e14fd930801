// The network-interface table with its octet counters, read from /proc. The
// interface that carries the default route comes first, so a caller that looks
// only at the first row sees the machine's real traffic; loopback comes last.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tov {

// One interface. The counters are the low 32 bits of the kernel's, so they
// wrap at 2^32 like the platform's; differences are taken modulo 2^32.
struct TMIBIfRow {
  std::string Name;
  uint32_t dwInOctets = 0;
  uint32_t dwOutOctets = 0;
  bool operator==(const TMIBIfRow&) const = default;
};
using TMIBIfArray = std::vector<TMIBIfRow>;

// The rows of a /proc/net/dev text in file order; lines that are not an
// interface with its counters are skipped.
TMIBIfArray ParseNetDev(std::string_view text);

// The interface of the default route with the lowest metric in a
// /proc/net/route text (IPv4), else in a /proc/net/ipv6_route text; empty
// when neither has one that is up.
std::string DefaultRouteInterface(std::string_view route, std::string_view ipv6_route);

// Puts the row named first_name (when present) first and the loopback rows
// last; the others keep their order.
void OrderInterfaces(TMIBIfArray& table, const std::string& first_name,
                     const std::function<bool(const std::string& name)>& is_loopback);

// Fills table (empty on entry) with every interface of this machine, in the
// order above; leaves it empty when the table cannot be read.
void GetInterfaceTable(TMIBIfArray& table);

}  // namespace tov
