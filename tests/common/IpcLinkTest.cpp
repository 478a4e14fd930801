#include "common/IpcLink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "common/IpcThreads.h"
#include "common/MessageKinds.h"
#include "platform/ByteCodec.h"
#include "platform/Files.h"
#include "platform/Threads.h"
#include "tests/common/LinkTestSupport.h"

namespace tov {
namespace {

class IpcLinkTest : public ::testing::Test {
 protected:
  test::PrivateLinkDir dir_;
};

uint32_t U32At(const uint8_t* p) { return ByteReader(std::span<const uint8_t>(p, 4)).GetU32(); }

// The kinds are the link's wire numbers: a crawler and a monitor of
// different builds, and the scripts that play one of them, send these.
TEST(MessageKinds, KeepTheirWireNumbers) {
  const std::pair<int32_t, int32_t> cases[] = {
      {KindNone, 0},         {KindAttachOk, 4}, {KindSetUserInfo, 5},  {KindShowForm, 6},
      {KindHideForm, 7},     {KindUrlOk, 8},    {KindUrlError, 9},     {KindRobotsTxt, 10},
      {KindSetCrawlers, 11}, {KindExit, 12},    {KindThreadCount, 13},
  };
  for (const auto& [kind, wire] : cases) EXPECT_EQ(kind, wire);
}

TEST(EventKindName, NamesEveryKindAndMarksOthers) {
  const char* names[] = {"evMonitorAttach", "evMonitorDetach", "evMonitorSignal", "evMonitorExit",
                         "evClientStart",   "evClientStop",    "evClientAttach",  "evClientDetach",
                         "evClientSwitch",  "evClientSignal",  "evClientExit"};
  for (int32_t k = evMonitorAttach; k <= evClientExit; ++k) EXPECT_EQ(EventKindName(k), names[k]);
  EXPECT_EQ(EventKindName(11), "TEventKind(11)");
  EXPECT_EQ(EventKindName(-1), "TEventKind(-1)");
}

TEST_F(IpcLinkTest, SignalDataLaysTheBlockOutAndLeavesItsLastTwoBytes) {
  TSharedMem raw("MONITOR_EVENT.Data", TIPCSharedEvent::kSize);
  raw.Buffer()[270] = 0xAA;
  raw.Buffer()[271] = 0xBB;
  TIPCEvent event(nullptr, "MONITOR_EVENT", false);
  TIPCEventData data;
  data.Text = "12";
  data.Kind = KindThreadCount;
  data.Flags = 0x230E;
  event.SignalData(evClientSignal, 0x1234, data);

  const uint8_t* b = raw.Buffer();
  EXPECT_EQ(U32At(b), 0x1234u);
  EXPECT_EQ(U32At(b + 4), 9u);
  EXPECT_EQ(b[8], 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 9), 2), "12");
  EXPECT_EQ(U32At(b + 264), 13u);
  EXPECT_EQ(b[268] | (b[269] << 8), 0x230E);
  EXPECT_EQ(b[270], 0xAA);
  EXPECT_EQ(b[271], 0xBB);
  EXPECT_TRUE(event.Wait(0));

  TIPCSharedEvent block = event.ReadBlock();
  EXPECT_EQ(block.ID, 0x1234);
  EXPECT_EQ(block.EventKind, evClientSignal);
  EXPECT_EQ(block.Data.Text, "12");
  EXPECT_EQ(block.Data.Kind, KindThreadCount);
  EXPECT_EQ(block.Data.Flags, 0x230E);

  // Signal writes the event's own id and leaves the record; SetFlags only the flags.
  event.SetID(77);
  event.Signal(evClientDetach);
  event.SetFlags(5);
  EXPECT_EQ(event.GetID(), 77);
  EXPECT_EQ(event.GetKind(), evClientDetach);
  EXPECT_EQ(event.GetUserData().Text, "12");
  EXPECT_EQ(event.GetUserData().Flags, 5);
}

TEST_F(IpcLinkTest, WaitForThatWakesOnAnotherIdFailsTracesAndUsesTheWakeUp) {
  auto client = TIPCThread::Create<TIPCClient>(0x1F, "c");
  TIPCEvent event(client.get(), "TEST_EVENT", false);
  event.SignalID(evClientAttach, 0x2A);
  EXPECT_FALSE(event.WaitFor(2000, 0x1F, evClientAttach));
  EXPECT_FALSE(event.Wait(0));  // used up
  event.SignalID(evClientDetach, 0x1F);
  EXPECT_FALSE(event.WaitFor(2000, 0x1F, evClientAttach));
  event.SignalID(evClientAttach, 0x1F);
  EXPECT_TRUE(event.WaitFor(2000, 0x1F, evClientAttach));

  auto lines = test::TraceLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  0000001F: Wait Failed TIPCClient Kind: evClientAttach ID: 1F"), 2);
}

TEST_F(IpcLinkTest, ARecordCountsAsUntakenUntilTheReceiverTakesIt) {
  TIPCEvent sender(nullptr, "MONITOR_EVENT", false);
  TIPCEvent receiver(nullptr, "MONITOR_EVENT", false);
  EXPECT_TRUE(sender.WaitTaken(0));  // nothing sent yet
  sender.SignalRecord(evClientAttach, 7, TIPCEventData{});
  EXPECT_FALSE(sender.WaitTaken(10));
  EXPECT_TRUE(receiver.Wait(0));  // the wake-up alone takes nothing
  EXPECT_FALSE(sender.WaitTaken(0));
  std::thread taker([&] {
    RealSleep(100);  // longer than a report waits to hand over
    EXPECT_EQ(receiver.TakeBlock().ID, 7);
  });
  EXPECT_TRUE(sender.WaitTaken(30000));
  taker.join();
}

// Each short sleep of a wait for a take lasts 20 times as long as asked, as
// on a very busy machine.
void Oversleep(std::chrono::microseconds asked) { std::this_thread::sleep_for(asked * 20); }

TEST_F(IpcLinkTest, AWaitForATakeEndsAtItsTimeOut) {
  // The monitor's exit waits this way for a crawler that may be stopped.
  TIPCEvent sender(nullptr, "MONITOR_EVENT", false);
  sender.SignalRecord(evClientSignal, 7, TIPCEventData{});
  auto start = std::chrono::steady_clock::now();
  auto waited = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  EXPECT_FALSE(sender.WaitTaken(1000));
  EXPECT_GE(waited(), 1000);
  EXPECT_LT(waited(), 2500);

  // By the clock, however long the sleeps take: counted, the 5000 sleeps of
  // the wait and the 500 of a report's hand-over would last 10 s and 1 s.
  struct RealSleeps {
    ~RealSleeps() { TIPCEvent::SetTakeWaitSleep(nullptr); }
  } real_sleeps_again;
  TIPCEvent::SetTakeWaitSleep(&Oversleep);
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sender.WaitTaken(500));
  EXPECT_GE(waited(), 500);
  EXPECT_LT(waited(), 2500);
  start = std::chrono::steady_clock::now();
  sender.SignalRecord(evClientSignal, 8, TIPCEventData{});  // the first one is still untaken
  EXPECT_GE(waited(), 50);
  EXPECT_LT(waited(), 500);
}

TEST_F(IpcLinkTest, ObjectsThatCannotBeMadeRaiseAsTheLinkExpects) {
  EXPECT_THROW(TEvent("a/b", false), EAbort);
  EXPECT_THROW(TMutex("a/b"), EAbort);
  TSharedMem small("SMALL", 16);
  try {
    TSharedMem larger("SMALL", 32);
    FAIL() << "opened";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message(), "Error creating shared memory SMALL (22)");
  }
}

// Neither the silent abort nor "Error creating shared memory": the user
// learns which folder to set right, and how to move it.
TEST_F(IpcLinkTest, ALinkFolderThatCannotBeUsedIsNamedByEveryObject) {
  const std::string folder = GetCurrentDir() + "/open";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  ::setenv("TOV_IPC_DIR", folder.c_str(), 1);
  const std::string text = "Link folder " + folder +
                           " can be written by other users; set TOV_IPC_DIR to a folder of your own to move it";
  auto message = [](const std::function<void()>& open) {
    try {
      open();
    } catch (const ENamedObjectDirectoryError& e) {
      return e.Message();
    } catch (...) {
      return "other: " + CurrentExceptionClassName();
    }
    return std::string("opened");
  };
  EXPECT_EQ(message([] { TEvent("E", false); }), text);
  EXPECT_EQ(message([] { TMutex("M"); }), text);
  EXPECT_EQ(message([] { TSharedMem("S", 16); }), text);
  EXPECT_EQ(message([] { TIPCTracer("Monitor"); }), text);
  EXPECT_EQ(message([] { TIPCMonitor::Create(1, "Monitor"); }), text);
  EXPECT_EQ(message([] { TIPCThread::Create<TIPCClient>(2, "Tovfetch"); }), text);
}

TEST_F(IpcLinkTest, AbandonedMutexCountsAsNotHadAndStaysUsable) {
  TMutex mutex("M");
  std::thread([&] { ASSERT_TRUE(mutex.Get(kInfinite)); }).join();
  EXPECT_FALSE(mutex.Get(1000));
  EXPECT_TRUE(mutex.Get(0));
  EXPECT_TRUE(mutex.Release());
}

class TracerTest : public IpcLinkTest {
 protected:
  static uint32_t Used(const TSharedMem& mem) { return U32At(mem.Buffer()); }
};

TEST_F(TracerTest, FirstOpenerStartsTheBufferAndLaterOnesKeepIt) {
  TSharedMem mem("TRACE_BUFFER", TIPCTracer::kBufferSize);
  EXPECT_EQ(Used(mem), 0u);
  TIPCTracer first("Monitor");
  EXPECT_EQ(Used(mem), 4u);
  first.Add("x");
  EXPECT_EQ(Used(mem), 4u + 29u);
  TIPCTracer second("Other");
  EXPECT_EQ(Used(mem), 33u);
}

TEST_F(TracerTest, EntryLayoutAndLabels) {
  TSharedMem mem("TRACE_BUFFER", TIPCTracer::kBufferSize);
  TIPCTracer monitor("Monitor");
  std::memset(mem.Buffer() + 4, 0xEE, 200);
  monitor.Add("Monitor Activated");
  const uint8_t* e = mem.Buffer() + 4;
  const uint32_t L = 17;
  EXPECT_EQ(U32At(e), L + 28);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 8), L + 12), "   Monitor: Monitor Activated");
  EXPECT_EQ(e[8 + L + 12], 0);
  EXPECT_EQ(e[8 + L + 13], 0);
  for (uint32_t i = L + 22; i < L + 28; ++i) EXPECT_EQ(e[i], 0xEE) << i;  // left as they were

  TIPCTracer client(IntToHex(0x4660, 8));
  TIPCTracer longer("0123456789ABCDEF");
  EXPECT_EQ(longer.ID(), "0123456789");
  client.Add("m");
  longer.Add("m");
  auto lines = test::TraceLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "  00004660: m");
  EXPECT_EQ(lines[2], "0123456789: m");
}

TEST_F(TracerTest, EntryThatDoesNotFitStartsAgainAtTheFront) {
  TSharedMem mem("TRACE_BUFFER", TIPCTracer::kBufferSize);
  TIPCTracer tracer("T");
  ByteWriter(mem.Bytes()).PutU32(TIPCTracer::kBufferSize - 30);  // 30 bytes left
  tracer.Add("ab");  // 30 bytes: still fits
  EXPECT_EQ(Used(mem), TIPCTracer::kBufferSize);
  tracer.Add("abc");  // 31 bytes: to the front
  EXPECT_EQ(Used(mem), 4u + 31u);
  tracer.Add("d");
  EXPECT_EQ(Used(mem), 4u + 31u + 29u);
  auto lines = test::TraceLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "         T: abc");
  EXPECT_EQ(lines[1], "         T: d");
}

TEST_F(TracerTest, DamagedOffsetsAndOverlongMessagesStayInsideTheBuffer) {
  TSharedMem mem("TRACE_BUFFER", TIPCTracer::kBufferSize);
  TIPCTracer tracer("T");
  for (uint32_t damaged : {0xFFFFFFF0u, 2u, TIPCTracer::kBufferSize + 1}) {
    ByteWriter(mem.Bytes()).PutU32(damaged);
    tracer.Add("x");
    EXPECT_EQ(Used(mem), 4u + 29u) << damaged;
  }
  tracer.Add(std::string(300000, 'y'));
  EXPECT_EQ(Used(mem), TIPCTracer::kBufferSize);
  EXPECT_EQ(U32At(mem.Buffer() + 4), TIPCTracer::kBufferSize - 4);
}

}  // namespace
}  // namespace tov
