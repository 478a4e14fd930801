#include "platform/InterfaceTable.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace tov {

void PrintTo(const TMIBIfRow& row, std::ostream* os) { *os << row.Name << " " << row.dwInOctets << "/" << row.dwOutOctets; }

namespace {

const char kNetDev[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier "
    "compressed\n"
    "    lo:    6667      97    0    0    0     0          0         0     6667      97    0    0    0     0       0 0\n"
    "  eth0: 4294968296 3000 0 0 0 0 0 0 12345 40 0 0 0 0 0 0\n"
    "wlan0:1000 1 0 0 0 0 0 0 2000 2 0 0 0 0 0 0\n"
    "broken: 12 x 0 0 0 0 0 0 9 0 0 0 0 0 0 0\n"
    "short: 1 2 3\n";

TEST(ParseNetDev, ReadsEachInterfaceWithItsLow32BitCounters) {
  const TMIBIfArray table = ParseNetDev(kNetDev);
  // Counters beyond 2^32 keep their low 32 bits, as the platform's wrap.
  EXPECT_EQ(table, (TMIBIfArray{{"lo", 6667, 6667}, {"eth0", 1000, 12345}, {"wlan0", 1000, 2000}}));
  EXPECT_TRUE(ParseNetDev("").empty());
  EXPECT_TRUE(ParseNetDev("no colon here\n").empty());
}

TEST(DefaultRouteInterface, TakesTheDefaultRouteThatIsUpWithTheLowestMetric) {
  const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  struct Case {
    const char* name;
    std::string route;
    std::string ipv6;
    std::string expected;
  };
  const std::string v6_default_wlan =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 fe800000000000000000000000000001 "
      "00000400 00000002 00000000 00000003     wlan0\n";
  const std::string v6_reject_lo =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 00000000000000000000000000000000 "
      "ffffffff 00000001 00000000 00200200       lo\n";
  const Case cases[] = {
      {"one default", header + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", "", "eth0"},
      {"lowest metric wins",
       header + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n" +
           "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
       "", "eth0"},
      {"a route that is down does not count",
       header + "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n" +
           "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n",
       "", "wlan0"},
      {"a network route is no default", header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", "", ""},
      {"IPv6 when IPv4 has none", header, v6_reject_lo + v6_default_wlan, "wlan0"},
      {"no routes", "", "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultRouteInterface(c.route, c.ipv6), c.expected) << c.name;
}

TEST(OrderInterfaces, PutsTheDefaultRouteFirstAndLoopbackLast) {
  auto names = [](const TMIBIfArray& table) {
    std::string out;
    for (const TMIBIfRow& row : table) out += row.Name + " ";
    return out;
  };
  auto loopback = [](const std::string& name) { return name == "lo" || name == "lo2"; };
  TMIBIfArray table{{"lo", 0, 0}, {"docker0", 0, 0}, {"lo2", 0, 0}, {"eth0", 0, 0}, {"wlan0", 0, 0}};
  OrderInterfaces(table, "wlan0", loopback);
  EXPECT_EQ(names(table), "wlan0 docker0 eth0 lo lo2 ");
  OrderInterfaces(table, "", loopback);  // no default route: table order, loopback last
  EXPECT_EQ(names(table), "wlan0 docker0 eth0 lo lo2 ");
  OrderInterfaces(table, "gone0", loopback);
  EXPECT_EQ(names(table), "wlan0 docker0 eth0 lo lo2 ");
}

TEST(GetInterfaceTable, ReadsThisMachinesInterfacesWithLoopbackLast) {
  TMIBIfArray table;
  GetInterfaceTable(table);
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(table.back().Name, "lo");
}

}  // namespace
}  // namespace tov
