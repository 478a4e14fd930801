// The link's protocol between real processes: each peer is the link test
// program, playing monitor or client.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/IpcLink.h"
#include "common/MessageKinds.h"
#include "platform/SysUtils.h"
#include "tests/common/LinkPeer.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

using test::LinkPeer;
using test::SignalCommand;
using test::SignalLine;
using test::SignalPrefix;

class LinkProcessTest : public ::testing::Test {
 protected:
  test::PrivateLinkDir dir_;

  static std::unique_ptr<LinkPeer> Start(const std::vector<std::string>& args) {
    auto peer = std::make_unique<LinkPeer>(args);
    EXPECT_EQ(peer->WaitLine("ready"), "ready") << args[0];
    return peer;
  }
  // A monitor started while no client is registered; returns once its
  // thread is in its loop, so that clients started next are attached
  // without racing its start-up.
  static std::unique_ptr<LinkPeer> Monitor(std::vector<std::string> more = {}) {
    auto monitor = MonitorAfterClients(std::move(more));
    size_t mark = monitor->LineCount();
    TIPCEvent(nullptr, "MONITOR_EVENT", false).SignalID(evClientStop, 0);  // only a directory update
    EXPECT_EQ(monitor->WaitLine("directory", mark), "directory");
    return monitor;
  }
  // A monitor started while clients are registered: it attaches the last one.
  static std::unique_ptr<LinkPeer> MonitorAfterClients(std::vector<std::string> more = {}) {
    std::vector<std::string> args{"monitor", "100"};
    args.insert(args.end(), more.begin(), more.end());
    return Start(args);
  }
  static std::unique_ptr<LinkPeer> Client(int id, const std::string& name = "crawler") {
    return Start({"client", std::to_string(id), name});
  }
  // Returns once a client started without a monitor is in its loop, so a
  // monitor started next meets a client that has not announced itself.
  static void Settle(int id) {
    TIPCEvent connect(nullptr, "CONNECT_EVENT", true);
    connect.SignalID(evMonitorDetach, id);  // detaching an unattached client does nothing
    EXPECT_TRUE(test::WaitForTrace("  " + IntToHex(static_cast<uint32_t>(id), 8) +
                                   ": Client Event Signaled: evMonitorDetach"));
    connect.Reset();
  }
  static void ExpectAttached(LinkPeer& monitor, int id) {
    std::string prefix = "current " + std::to_string(id) + " ";
    EXPECT_TRUE(test::WaitUntil([&] { return monitor.Ask("current", "current").rfind(prefix, 0) == 0; }, 10000))
        << "monitor not attached to " << id;
  }
};

int TraceCount(const std::string& line) {
  int n = 0;
  for (const std::string& l : test::TraceLines()) n += l == line ? 1 : 0;
  return n;
}

TEST_F(LinkProcessTest, AttachAndMessagesBothWays) {
  auto monitor = Monitor({"--flags", "0x230E"});
  // With no client the record is dropped without notice, and without a trace line.
  monitor->Ask(SignalCommand(KindSetUserInfo), "done");
  EXPECT_EQ(TraceCount("   Monitor: Signaling Client data"), 0);
  auto client = Client(11, "Tovfetch (v 0.82) - B");
  ASSERT_TRUE(client->WaitCount("connect 1", 1));
  ASSERT_TRUE(monitor->WaitCount("connect 1", 1));
  EXPECT_EQ(monitor->Ask("current", "current"), "current 11 Tovfetch (v 0.82) - B");
  // On attach the monitor resends the block's last record with its flags: on
  // a fresh block that record is all zeros.
  EXPECT_EQ(client->WaitLine("signal"), SignalLine(KindNone, 0x230E));

  monitor->Ask(SignalCommand(KindSetCrawlers, "7"), "done");
  EXPECT_EQ(client->WaitLine(SignalPrefix(KindSetCrawlers)), SignalLine(KindSetCrawlers, 0, "7"));
  client->Ask(SignalCommand(KindThreadCount, "12"), "done");
  EXPECT_EQ(monitor->WaitLine("signal"), SignalLine(KindThreadCount, 0, "12"));
  EXPECT_EQ(client->Ask("state", "state"), "state 2");

  EXPECT_EQ(client->Quit(), 0);
  EXPECT_EQ(monitor->Quit(), 0);
}

TEST_F(LinkProcessTest, MonitorStartedLaterAttachesTheMostRecentClient) {
  auto first = Client(11);
  auto second = Client(22);
  Settle(11);
  Settle(22);
  // Without a monitor nothing is sent, and a record is dropped at the sender.
  second->Ask(SignalCommand(KindUrlOk), "done");
  EXPECT_EQ(second->Ask("state", "state"), "state 1");
  EXPECT_EQ(TraceCount("  00000016: Signaling Monitor"), 0);
  auto monitor = MonitorAfterClients();
  ASSERT_TRUE(second->WaitCount("connect 1", 1));
  ExpectAttached(*monitor, 22);
  EXPECT_EQ(first->Ask("state", "state"), "state 1");
  EXPECT_EQ(monitor->Count(SignalLine(KindUrlOk)), 0);
}

TEST_F(LinkProcessTest, RecordFromAClientThatIsNotCurrentIsNotDelivered) {
  auto monitor = Monitor();
  auto client = Client(11);
  ASSERT_TRUE(monitor->WaitCount("connect 1", 1));
  const std::string woke = "   Monitor: Event Signaled: evClientSignal";
  int before = TraceCount(woke);
  // A record on "MONITOR_EVENT" carrying another client's id.
  LinkPeer stray(
      {"send", "MONITOR_EVENT", std::to_string(evClientSignal), "22", std::to_string(KindUrlError), "stray"});
  ASSERT_EQ(stray.WaitLine("sent"), "sent");
  ASSERT_TRUE(test::WaitForTrace(woke, before + 1));  // the monitor has read it
  client->Ask(SignalCommand(KindUrlOk, "mine"), "done");
  EXPECT_EQ(monitor->WaitLine("signal"), SignalLine(KindUrlOk, 0, "mine"));
  EXPECT_EQ(monitor->Count(SignalLine(KindUrlError, 0, "stray")), 0);
}

TEST_F(LinkProcessTest, SwitchDetachesTheCurrentClientFirst) {
  auto monitor = Monitor({"--flags", "0x230E"});
  auto a = Client(11);
  ExpectAttached(*monitor, 11);
  auto b = Client(22);
  ASSERT_TRUE(a->WaitCount("connect 0", 1));
  ExpectAttached(*monitor, 22);
  monitor->Ask(SignalCommand(KindSetCrawlers, "5"), "done");
  EXPECT_EQ(b->WaitLine(SignalPrefix(KindSetCrawlers)), SignalLine(KindSetCrawlers, 0, "5"));

  monitor->Ask("switch 11", "done");
  ASSERT_TRUE(b->WaitCount("connect 0", 1));
  ASSERT_TRUE(a->WaitCount("connect 1", 2));
  ExpectAttached(*monitor, 11);
  // The attach resends the last record any monitor sent, with the flags.
  EXPECT_EQ(a->WaitLine(SignalPrefix(KindSetCrawlers)), SignalLine(KindSetCrawlers, 0x230E, "5"));
  EXPECT_EQ(b->Ask("state", "state"), "state 1");
  b->Ask(SignalCommand(KindUrlError), "done");  // dropped: b is not attached
  a->Ask(SignalCommand(KindRobotsTxt), "done");
  EXPECT_EQ(monitor->WaitLine("signal"), SignalLine(KindRobotsTxt));
  EXPECT_EQ(monitor->Count(SignalLine(KindUrlError)), 0);

  // Switching to client 0 means the last registered one.
  monitor->Ask("switch 0", "done");
  ExpectAttached(*monitor, 22);
  ASSERT_TRUE(b->WaitCount("connect 1", 2));
}

TEST_F(LinkProcessTest, SwitchToTheLastClientOfAnEmptyDirectoryDoesNothing) {
  auto monitor = Monitor();
  monitor->Ask("switch 0", "done");
  auto client = Client(11);
  ExpectAttached(*monitor, 11);  // the monitor's loop is past anything the switch could have sent
  EXPECT_EQ(TraceCount("   Monitor: Event Signaled: evClientSwitch"), 0);
}

TEST_F(LinkProcessTest, ClientExitsWithAMonitor) {
  auto monitor = Monitor();
  auto a = Client(11);
  ExpectAttached(*monitor, 11);
  auto b = Client(22);
  ExpectAttached(*monitor, 22);
  auto c = Client(33);
  ExpectAttached(*monitor, 33);

  // An unattached client's exit only updates the monitor's directory.
  size_t mark = monitor->LineCount();
  EXPECT_EQ(a->Quit(), 0);
  EXPECT_EQ(monitor->WaitLine("directory", mark), "directory");
  EXPECT_EQ(monitor->Ask("count", "count"), "count 2");
  EXPECT_EQ(monitor->Ask("current", "current"), "current 33 crawler");

  // The attached client's exit detaches it; the monitor moves to the last
  // remaining client, and stays unattached when none is left.
  mark = monitor->LineCount();
  EXPECT_EQ(c->Quit(), 0);
  EXPECT_EQ(c->WaitLine("connect 0"), "connect 0");
  EXPECT_EQ(monitor->WaitLine("connect 0", mark), "connect 0");
  EXPECT_EQ(monitor->WaitLine("directory", mark), "directory");
  ExpectAttached(*monitor, 22);
  EXPECT_EQ(b->Quit(), 0);
  EXPECT_TRUE(test::WaitUntil([&] { return monitor->Ask("current", "current") == "current 0 "; }));
  EXPECT_EQ(monitor->Ask("count", "count"), "count 0");
}

TEST_F(LinkProcessTest, ClientExitWithoutAMonitorLeavesTheDirectory) {
  auto a = Client(11);
  auto b = Client(22);
  EXPECT_EQ(a->Ask("count", "count"), "count 2");
  EXPECT_EQ(b->Quit(), 0);
  EXPECT_EQ(a->Ask("count", "count"), "count 1");
  EXPECT_EQ(a->Count("connect 0"), 0);
}

TEST_F(LinkProcessTest, MonitorExitDetachesTheClient) {
  auto monitor = Monitor();
  auto client = Client(11);
  ExpectAttached(*monitor, 11);
  EXPECT_EQ(client->Ask("monitorid", "monitorid"), "monitorid 100");
  EXPECT_EQ(monitor->Quit(), 0);
  ASSERT_TRUE(client->WaitCount("connect 0", 1));
  EXPECT_EQ(client->Ask("state", "state"), "state 1");
  EXPECT_EQ(client->Ask("monitorid", "monitorid"), "monitorid 0");

  // A new monitor attaches the client again.
  auto next = MonitorAfterClients();
  ASSERT_TRUE(client->WaitCount("connect 1", 2));
  ExpectAttached(*next, 11);
}

TEST_F(LinkProcessTest, SecondMonitorIsRefused) {
  auto monitor = Monitor();
  LinkPeer second({"monitor", "200"});
  EXPECT_EQ(second.WaitLine("error"), "error EMonitorActive ");
  EXPECT_EQ(second.Quit(), 1);
  EXPECT_EQ(monitor->Ask("monitorid", "monitorid"), "monitorid 100");
}

// Monitors that use their process ids: one that was killed while a client
// held the directory open is taken over; a live one still refuses the next.
TEST_F(LinkProcessTest, MonitorWhoseProcessIsGoneIsTakenOver) {
  auto client = Client(11);
  auto dead = Start({"monitor", "pid"});
  std::string dead_id = std::to_string(dead->Pid());
  EXPECT_EQ(client->Ask("monitorid", "monitorid"), "monitorid " + dead_id);
  dead->Kill();
  EXPECT_EQ(client->Ask("monitorid", "monitorid"), "monitorid " + dead_id);

  auto next = Start({"monitor", "pid"});
  EXPECT_EQ(client->Ask("monitorid", "monitorid"), "monitorid " + std::to_string(next->Pid()));
  EXPECT_TRUE(test::WaitForTrace("   Monitor: Took over from monitor " + dead_id + ", whose process is gone"));

  LinkPeer third({"monitor", "pid"});
  EXPECT_EQ(third.WaitLine("error"), "error EMonitorActive ");
  EXPECT_EQ(third.Quit(), 1);
  EXPECT_EQ(next->Ask("monitorid", "monitorid"), "monitorid " + std::to_string(next->Pid()));
}

// A monitor killed while attached leaves its client attached to nobody,
// deaf to attach requests; the monitor that takes over detaches it and
// attaches it again, also while the client keeps reporting.
TEST_F(LinkProcessTest, ClientLeftAttachedByAKilledMonitorIsAttachedByTheNext) {
  for (bool reporting : {false, true}) {
    SCOPED_TRACE(reporting ? "reporting" : "quiet");
    auto client = Client(11);
    auto dead = Start({"monitor", "pid"});
    ASSERT_TRUE(client->WaitCount("connect 1", 1));
    dead->Kill();
    client->Ask(SignalCommand(KindUrlOk), "done");  // nobody takes it
    EXPECT_EQ(client->Ask("state", "state"), "state 2");

    size_t mark = client->LineCount();
    if (reporting) {
      ASSERT_TRUE(client->Send("flood 3000 " + std::to_string(KindUrlOk)));
    }
    auto next = Start({"monitor", "pid"});
    ASSERT_TRUE(client->WaitCount("connect 0", 1));
    ASSERT_TRUE(client->WaitCount("connect 1", 2));
    ExpectAttached(*next, 11);
    if (reporting) {
      ASSERT_EQ(client->WaitLine("done", mark), "done");
    }
    next->Ask(SignalCommand(KindSetCrawlers, "3"), "done");
    EXPECT_EQ(client->WaitLine(SignalPrefix(KindSetCrawlers)), SignalLine(KindSetCrawlers, 0, "3"));
    size_t seen = next->LineCount();
    client->Ask(SignalCommand(KindThreadCount, "3"), "done");
    EXPECT_EQ(next->WaitLine(SignalPrefix(KindThreadCount), seen), SignalLine(KindThreadCount, 0, "3"));
    EXPECT_EQ(client->Quit(), 0);
    EXPECT_EQ(next->Quit(), 0);
  }
}

TEST_F(LinkProcessTest, SeventhClientAndATakenIdAreRefused) {
  std::vector<std::unique_ptr<LinkPeer>> clients;
  for (int id = 1; id <= 6; ++id) clients.push_back(Client(id));
  LinkPeer seventh({"client", "7", "crawler"});
  EXPECT_EQ(seventh.WaitLine("error"), "error Exception Maximum of 6 clients allowed");
  EXPECT_EQ(clients[0]->Ask("count", "count"), "count 6");
  EXPECT_EQ(clients[0]->Quit(), 0);
  LinkPeer twin({"client", "2", "crawler"});
  EXPECT_EQ(twin.WaitLine("error"), "error Exception Duplicate client ID");
}

// Crawlers that were killed never leave the directory themselves; the next
// crawler (named, like them, by its process id) drops them, so killed ones
// cannot fill the directory for good. A live one stays.
TEST_F(LinkProcessTest, ClientsWhoseProcessIsGoneAreDroppedByTheNextOne) {
  auto alive = Start({"client", "pid", "crawler"});
  for (int i = 0; i < 8; ++i) Start({"client", "pid", "crawler"})->Kill();
  // Each start dropped the one killed before it: only the last killed is left.
  EXPECT_EQ(alive->Ask("count", "count"), "count 2");
  auto next = Start({"client", "pid", "crawler"});
  EXPECT_EQ(next->Ask("count", "count"), "count 2");
  EXPECT_EQ(alive->Quit(), 0);
}

TEST_F(LinkProcessTest, ClientsOfOneNameAreNumberedInTheList) {
  auto x1 = Client(11, "X");
  auto x2 = Client(22, "X");
  auto x3 = Client(33, "X");
  for (int id : {11, 22, 33}) Settle(id);
  auto monitor = MonitorAfterClients();
  size_t mark = monitor->LineCount();
  ASSERT_EQ(monitor->Ask("names", "names"), "names 3");
  std::vector<std::string> names;
  test::WaitUntil([&] {
    names.clear();
    std::vector<std::string> lines = monitor->Lines();
    for (size_t i = mark; i < lines.size(); ++i) {
      if (lines[i].rfind("name ", 0) == 0) names.push_back(lines[i]);
    }
    return names.size() >= 3;
  });
  EXPECT_EQ(names, (std::vector<std::string>{"name 11 X", "name 22 X (2)", "name 33 X (3)"}));
}

TEST_F(LinkProcessTest, ProcessKilledHoldingTheDirectoryMutex) {
  auto first = Client(11);  // keeps the mutex alive across the holder's death
  LinkPeer holder({"hold-mutex", "DIRECTORY_MUTEX"});
  ASSERT_EQ(holder.WaitLine("held"), "held");
  holder.Kill();
  // The next registration finds the mutex abandoned: not had, so that client
  // runs without an entry; the mutex is usable again after it.
  auto second = Client(22);
  EXPECT_EQ(second->Ask("count", "count"), "count 1");
  auto third = Client(33);
  EXPECT_EQ(third->Ask("count", "count"), "count 2");
  EXPECT_EQ(second->Quit(), 0);
  EXPECT_EQ(third->Quit(), 0);
  EXPECT_EQ(first->Ask("count", "count"), "count 1");
}

TEST_F(LinkProcessTest, BlocksAreFreshAfterEveryHolderIsGone) {
  {
    auto monitor = Monitor();
    auto client = Client(11);
    ASSERT_TRUE(monitor->WaitCount("connect 1", 1));
    monitor->Ask(SignalCommand(KindSetCrawlers, "7"), "done");
    ASSERT_EQ(client->WaitLine("signal"), SignalLine(KindSetCrawlers, 0, "7"));
    client->Ask(SignalCommand(KindThreadCount, "3"), "done");
    ASSERT_EQ(monitor->WaitLine("signal"), SignalLine(KindThreadCount, 0, "3"));
    monitor->Send("crash");  // ends without freeing anything
    EXPECT_EQ(client->Quit(), 0);
  }
  auto all_zero = [](const TSharedMem& m) {
    for (uint8_t b : m.Bytes()) {
      if (b != 0) return false;
    }
    return true;
  };
  for (const char* name : {"MONITOR_EVENT.Data", "CLIENT_EVENT.Data", "CONNECT_EVENT.Data"}) {
    EXPECT_TRUE(all_zero(TSharedMem(name, TIPCSharedEvent::kSize))) << name;
  }
  EXPECT_TRUE(all_zero(TSharedMem("CLIENT_DIRECTORY", 6 * 63 + 8)));
  EXPECT_TRUE(all_zero(TSharedMem("TRACE_BUFFER", TIPCTracer::kBufferSize)));

  // And the link works again from scratch.
  auto monitor = Monitor({"--flags", "1"});
  auto client = Client(11);
  EXPECT_EQ(client->WaitLine("signal"), SignalLine(KindNone, 1));
}

}  // namespace
}  // namespace tov
