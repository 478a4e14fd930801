// Link objects inside one process: lifetimes that only show here, and the
// serialisation of sends from many threads. The protocol between processes
// is in LinkProcessTest.cpp.
#include "common/IpcThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/MessageKinds.h"
#include "platform/Threads.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

class IpcThreadsTest : public ::testing::Test {
 protected:
  test::PrivateLinkDir dir_;
};

// A client whose deletion the test can see.
std::atomic<bool> g_probe_deleted{false};
class ProbeClient : public TIPCClient {
 public:
  using TIPCClient::TIPCClient;

 protected:
  ~ProbeClient() override { g_probe_deleted = true; }
};

TEST_F(IpcThreadsTest, LinkObjectsWhoseThreadNeverStartedAreFreed) {
  g_probe_deleted = false;
  TIPCThread::Create<ProbeClient>(1, "never activated").reset();
  EXPECT_TRUE(g_probe_deleted);

  TClientDirectory directory(6);
  for (int32_t id = 1; id <= 6; ++id) directory.AddClient(id, "x");
  g_probe_deleted = false;
  auto seventh = TIPCThread::Create<ProbeClient>(7, "seventh");
  EXPECT_THROW(seventh->Activate(), Exception);
  EXPECT_EQ(seventh->State(), stInactive);
  seventh.reset();
  EXPECT_TRUE(g_probe_deleted);
  for (int32_t id = 1; id <= 6; ++id) directory.RemoveClient(id);

  auto first = TIPCMonitor::Create(100, "Monitor");
  first->Activate();
  auto second = TIPCMonitor::Create(200, "Monitor");
  EXPECT_THROW(second->Activate(), EMonitorActive);
  EXPECT_EQ(second->State(), stInactive);
  second.reset();
  EXPECT_EQ(directory.GetMonitorID(), 100);
}

// Monitor and client in this process, attached.
struct AttachedPair {
  TIPCThread::Owned<TIPCMonitor> monitor = TIPCMonitor::Create(1000, "Monitor");
  TIPCThread::Owned<TIPCClient> client;
  std::mutex mutex;
  std::vector<TIPCEventData> received;

  template <class Client = TIPCClient>
  void Attach(std::function<void(const TIPCEventData&)> on_client_signal = nullptr) {
    monitor->SetOnSignal([this](TIPCThread*, const TIPCEventData& d) {
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back(d);
    });
    monitor->Activate();
    // Once the monitor's thread is in its loop the client is attached
    // without racing the monitor's own start-up.
    TIPCEvent(nullptr, "MONITOR_EVENT", false).SignalID(evClientStop, 0);
    ASSERT_TRUE(test::WaitForTrace("   Monitor: Event Signaled: evClientStop"));
    client = TIPCThread::Create<Client>(2000, "client");
    if (on_client_signal) client->SetOnSignal([=](TIPCThread*, const TIPCEventData& d) { on_client_signal(d); });
    client->Activate();
    ASSERT_TRUE(test::WaitUntil([&] { return monitor->State() == stConnected && client->State() == stConnected; }));
  }
  size_t Received() {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
  }
};

// Kinds of the tests' own, which no program sends.
constexpr int32_t kLastRecordKind = 99;  // ends a run of records
constexpr int32_t kThrowingKind = 1;     // the handler raises on it

TIPCEventData Make(int32_t kind, std::string text) {
  TIPCEventData d;
  d.Kind = kind;
  d.Text = text;
  return d;
}

TEST_F(IpcThreadsTest, SendsFromManyThreadsAtOnceAreNeverTorn) {
  AttachedPair link;
  link.Attach();
  std::vector<std::thread> senders;
  for (int t = 0; t < 16; ++t) {
    senders.emplace_back([&, t] {
      // Every record's text is its kind's digit over the whole room.
      TIPCEventData d = Make(t % 10, std::string(255, static_cast<char>('0' + t % 10)));
      for (int i = 0; i < 2000; ++i) link.client->SignalMonitor(d);
    });
  }
  for (auto& s : senders) s.join();
  link.client->SignalMonitor(Make(kLastRecordKind, "last"));
  ASSERT_TRUE(test::WaitUntil([&] {
    std::lock_guard<std::mutex> lock(link.mutex);
    return !link.received.empty() && link.received.back().Kind == kLastRecordKind;
  }));
  std::lock_guard<std::mutex> lock(link.mutex);
  for (const TIPCEventData& d : link.received) {
    if (d.Kind == kLastRecordKind) continue;
    ASSERT_EQ(d.Text, std::string(255, static_cast<char>('0' + d.Kind)));
  }
}

TEST_F(IpcThreadsTest, RecordsSentBackToBackAllArrive) {
  // A page report is followed at once by the heartbeat; the one-slot block
  // must not lose the first to the second.
  AttachedPair link;
  link.Attach();
  for (int i = 0; i < 500; ++i) {
    link.client->SignalMonitor(Make(KindUrlOk, ""));
    link.client->SignalMonitor(Make(KindThreadCount, "1"));
  }
  EXPECT_TRUE(test::WaitUntil([&] { return link.Received() == 1000; }));
  std::lock_guard<std::mutex> lock(link.mutex);
  ASSERT_EQ(link.received.size(), 1000u);
  for (size_t i = 0; i < link.received.size(); ++i) {
    EXPECT_EQ(link.received[i].Kind, i % 2 == 0 ? KindUrlOk : KindThreadCount) << i;
  }
}

TEST_F(IpcThreadsTest, ReportsSentDuringTheAttachDoNotSpoilIt) {
  // The crawler's heartbeat starts with its link: a report sent while the
  // client answers the attach must not take the answer's place, or the
  // monitor stays unattached while the client believes it is attached.
  for (int round = 0; round < 20; ++round) {
    auto monitor = TIPCMonitor::Create(1000, "Monitor");
    monitor->Activate();
    TIPCEvent(nullptr, "MONITOR_EVENT", false).SignalID(evClientStop, 0);
    // Every link object of the last round is gone, and the trace with them.
    ASSERT_TRUE(test::WaitForTrace("   Monitor: Event Signaled: evClientStop")) << "round " << round;
    auto client = TIPCThread::Create<TIPCClient>(2000, "client");
    std::atomic<bool> stop{false};
    std::vector<std::thread> reporters;
    for (int t = 0; t < 4; ++t) {
      reporters.emplace_back([&] {
        for (int after = 0; !stop && after < 20;) {
          if (client->State() == stConnected) ++after;
          client->SignalMonitor(Make(KindThreadCount, "0"));
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      });
    }
    client->Activate();
    const bool attached = test::WaitUntil([&] { return monitor->CurrentClientID() == 2000; }, 5000);
    stop = true;
    for (auto& r : reporters) r.join();
    ASSERT_TRUE(attached) << "round " << round;
    client.reset();
    monitor.reset();
  }
}

// A client that answers the attach itself and then, each time it wakes on
// "CLIENT_EVENT", takes its time before it copies the block: a crawler whose
// link thread is slow to be scheduled, say. With stray_first, a record that
// is no answer reaches the monitor first, as the late wake-up of a record
// taken already does.
struct SlowClient {
  static constexpr int32_t kId = 2000;
  TClientDirectory directory{6};
  TIPCEvent connect{nullptr, "CONNECT_EVENT", true};
  TIPCEvent client_event{nullptr, "CLIENT_EVENT", false};
  TIPCEvent monitor_event{nullptr, "MONITOR_EVENT", false};
  std::vector<TIPCSharedEvent> taken;  // read only after Join
  std::thread thread;

  explicit SlowClient(uint32_t copy_delay_ms, bool stray_first = false) {
    directory.AddClient(kId, "slow");
    thread = std::thread([this, copy_delay_ms, stray_first] {
      if (!connect.Wait(10000)) return;
      connect.Reset();
      if (stray_first) {
        monitor_event.SignalID(evClientStart, kId);
        RealSleep(200);
      }
      TIPCEventData answer;
      answer.Kind = KindAttachOk;
      monitor_event.SignalRecord(evClientAttach, kId, answer);
      // Until the monitor detaches.
      while (client_event.Wait(10000)) {
        RealSleep(copy_delay_ms);
        taken.push_back(client_event.TakeBlock());
        if (taken.back().EventKind == evMonitorDetach) break;
      }
    });
  }
  void Join() {
    if (thread.joinable()) thread.join();
  }
  ~SlowClient() {
    Join();
    directory.RemoveClient(kId);
  }
};

TEST_F(IpcThreadsTest, TheExitRecordReachesASlowClientBeforeTheDetachThatFollowsIt) {
  auto monitor = TIPCMonitor::Create(1000, "Monitor");
  monitor->Activate();
  TIPCEvent(nullptr, "MONITOR_EVENT", false).SignalID(evClientStop, 0);
  ASSERT_TRUE(test::WaitForTrace("   Monitor: Event Signaled: evClientStop"));
  SlowClient client(300);
  client.monitor_event.SignalID(evClientStart, SlowClient::kId);
  ASSERT_TRUE(test::WaitUntil([&] { return monitor->CurrentClientID() == SlowClient::kId; }));

  // What the monitor's exit does: the exit record, the wait for the client
  // to take it, then the detach of the link monitor going away.
  monitor->SignalClient(Make(KindExit, "3"));
  EXPECT_TRUE(monitor->WaitClientTook(5000));
  monitor.reset();
  client.Join();

  ASSERT_EQ(client.taken.size(), 2u);
  EXPECT_EQ(client.taken[0].EventKind, evMonitorSignal);
  EXPECT_EQ(client.taken[0].ID, SlowClient::kId);
  EXPECT_EQ(client.taken[0].Data.Kind, KindExit);
  EXPECT_EQ(client.taken[0].Data.Text, std::string("3"));
  EXPECT_EQ(client.taken[1].EventKind, evMonitorDetach);
}

TEST_F(IpcThreadsTest, ARecordThatIsNoAnswerDoesNotEndTheAttach) {
  // Taken for a failed attach, it left the client attached and deaf to the
  // next attach request, and this monitor unattached for good.
  auto monitor = TIPCMonitor::Create(1000, "Monitor");
  monitor->Activate();
  TIPCEvent(nullptr, "MONITOR_EVENT", false).SignalID(evClientStop, 0);
  ASSERT_TRUE(test::WaitForTrace("   Monitor: Event Signaled: evClientStop"));
  SlowClient client(0, /*stray_first=*/true);
  client.monitor_event.SignalID(evClientStart, SlowClient::kId);
  EXPECT_TRUE(test::WaitUntil([&] { return monitor->CurrentClientID() == SlowClient::kId; }, 5000));
  monitor.reset();
  client.Join();
}

TEST_F(IpcThreadsTest, ExceptionInAHandlerIsTracedAndTheLoopGoesOn) {
  AttachedPair link;
  link.Attach([](const TIPCEventData& d) {
    if (d.Kind == kThrowingKind) throw EConvertError("'x' is not a valid integer value");
  });
  link.monitor->SignalClient(Make(kThrowingKind, "x"));
  ASSERT_TRUE(test::WaitForTrace("  000007D0: Exception raised in Thread Handler: 'x' is not a valid integer value at 0"));
  link.client->SignalMonitor(Make(KindUrlOk, ""));
  EXPECT_TRUE(test::WaitUntil([&] { return link.Received() == 1; }));
}

TEST_F(IpcThreadsTest, ThreadThatDoesNotEndInTimeIsLeftWithWhatItUses) {
  std::atomic<bool> in_handler{false};
  std::atomic<bool> release{false};
  AttachedPair link;
  link.Attach<ProbeClient>([&](const TIPCEventData&) {
    in_handler = true;
    while (!release) RealSleep(5);
  });
  link.monitor->SignalClient(Make(KindShowForm, ""));
  ASSERT_TRUE(test::WaitUntil([&] { return in_handler.load(); }));

  g_probe_deleted = false;
  link.client.reset();  // returns after 2000 ms with the handler still running
  EXPECT_FALSE(g_probe_deleted);
  release = true;
  // The thread finishes its exit, detaching from the monitor, and frees the object.
  EXPECT_TRUE(test::WaitUntil([&] { return g_probe_deleted.load(); }));
  EXPECT_TRUE(test::WaitUntil([&] { return link.monitor->State() == stActive; }));
}

}  // namespace
}  // namespace tov
