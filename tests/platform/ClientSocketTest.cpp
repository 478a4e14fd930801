#include "platform/ClientSocket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Threads.h"
#include "tests/support/StandIn.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::Listener;
using test::WaitUntil;

std::string ReceiveAll(int fd, size_t n) {
  std::string out;
  char buf[4096];
  while (out.size() < n) {
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

TEST(ClientSocketTest, SendsAndTakesWhatHasArrivedByNameOrAddress) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    Listener listener;
    TClientSocket socket;
    socket.SetHost(host);
    socket.SetPort(listener.Port());
    socket.Open();
    ASSERT_TRUE(socket.Active()) << host;
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(socket.ReceiveText(), "");  // nothing has arrived: returns at once
    std::string payload(100000, 'x');
    payload[5] = '\0';
    std::string received;
    std::thread reader([&] { received = ReceiveAll(peer, payload.size() + 3); });
    EXPECT_EQ(socket.SendBuf(payload.data(), payload.size()), payload.size());
    EXPECT_EQ(socket.SendText("end"), 3u);
    reader.join();
    EXPECT_EQ(received, payload + "end") << host;

    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    std::string got;
    EXPECT_TRUE(WaitUntil([&] {
      got += socket.ReceiveText();
      return got.size() >= 3;
    }));
    EXPECT_EQ(got, "abc");

    ::close(peer);  // the peer's end: seen by the next receive
    EXPECT_TRUE(WaitUntil([&] {
      socket.ReceiveText();
      return !socket.Active();
    }));
    socket.Close();
  }
}

TEST(ClientSocketTest, FailedOpensRaise) {
  int free_port;
  {
    Listener gone;
    free_port = gone.Port();
  }
  struct Case {
    const char* host;
    int port;
  };
  const Case cases[] = {{"127.0.0.1", free_port}, {"no-such-host.invalid", 8080}, {"127.0.0.1", 0}, {"127.0.0.1", 70000}};
  for (const auto& c : cases) {
    TClientSocket socket;
    socket.SetHost(c.host);
    socket.SetPort(c.port);
    EXPECT_THROW(socket.Open(), ESocketError) << c.host << ":" << c.port;
    EXPECT_FALSE(socket.Active());
  }
}

// A listener whose accept queue is full drops further connection requests, as
// a blackholed address would; the connect must still end.
TEST(ClientSocketTest, ConnectToAPeerThatNeverAnswersEndsAtItsLimit) {
  Listener listener(0);
  std::vector<std::unique_ptr<TClientSocket>> queued;
  std::string failure;
  for (int i = 0; i < 8 && failure.empty(); ++i) {
    auto socket = std::make_unique<TClientSocket>();
    socket->SetHost("127.0.0.1");
    socket->SetPort(listener.Port());
    socket->SetConnectTimeoutMs(200);
    try {
      socket->Open();
      queued.push_back(std::move(socket));
    } catch (const ESocketError& e) {
      failure = e.Message();
    }
  }
  EXPECT_NE(failure.find("timed out"), std::string::npos) << failure;
}

TEST(ClientSocketTest, SendingToAPeerThatHasGoneRaisesInsteadOfSignalling) {
  Listener listener;
  TClientSocket socket;
  int peer = listener.Connect(socket);
  linger hard{1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(peer);  // a reset

  std::string block(65536, 'y');
  bool raised = false;
  for (int i = 0; i < 1000 && !raised; ++i) {
    try {
      socket.SendBuf(block.data(), block.size());
    } catch (const ESocketError&) {
      raised = true;
    }
  }
  EXPECT_TRUE(raised);
  EXPECT_FALSE(socket.Active());
  EXPECT_THROW(socket.SendText("more"), ESocketError);
}

// The floor's deadline over a schedule of moves, against a window of 10 s
// and 1000 bytes: the moment a send would be cut, or when the moves have
// ended, the moment it would be cut from there on.
TEST(SendFloorTest, AWindowThatTakesLessThanTheFloorEndsTheSendsAndOneThatKeepsUpNever) {
  using namespace std::chrono;
  struct Move {
    double at_s;
    int64_t bytes;
  };
  struct Case {
    const char* name;
    std::vector<Move> moves;
    double cut_from_s;  // the cut falls in [from, to]
    double cut_to_s;
  };
  auto steady = [](double from_s, double to_s, double every_s, int64_t bytes) {
    std::vector<Move> moves;
    for (double t = from_s; t <= to_s + 1e-9; t += every_s) moves.push_back({t, bytes});
    return moves;
  };
  auto then = [](std::vector<Move> a, const std::vector<Move>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"nothing moves", {}, 10, 10},
      {"a burst the buffers take, then nothing", {{0, 50000}}, 10, 10},
      {"a trickle at half the floor behind a burst", then({{0, 50000}}, steady(1, 100, 1, 50)), 10, 10},
      {"a trickle at half the floor from the start", steady(0.5, 100, 1, 50), 10, 10},
      // Twice the floor keeps going for 100 s, then the window runs down:
      // the last 1000 bytes went in its last 5 s.
      {"twice the floor, then nothing", steady(0.5, 100, 0.5, 100), 105, 106},
      {"twice the floor in small sends", steady(0.01, 100, 0.01, 2), 105, 106},
      // Once a second, so that a window just before a send holds nine.
      {"a quarter above the floor", steady(1, 300, 1, 125), 303, 304},
      {"a stall of 9 s between two windows' worth", then(steady(0, 9, 1, 1000), steady(18, 30, 1, 1000)), 39, 40},
      {"a stall longer than the window", then(steady(0, 5, 1, 1000), steady(20, 30, 1, 1000)), 15, 15},
  };
  const auto start = TSendFloor::Clock::time_point{} + hours(1);
  auto at = [&](double s) { return start + duration_cast<TSendFloor::Clock::duration>(duration<double>(s)); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSendFloor floor(seconds(10), 1000, start);
    TSendFloor::Clock::time_point cut = TSendFloor::Clock::time_point::max();
    for (const Move& m : c.moves) {
      if (at(m.at_s) >= floor.Deadline()) {
        cut = floor.Deadline();
        break;
      }
      floor.Moved(m.bytes, at(m.at_s));
    }
    if (cut == TSendFloor::Clock::time_point::max()) cut = floor.Deadline();
    const double cut_s = duration<double>(cut - start).count();
    EXPECT_GE(cut_s, c.cut_from_s - 1e-6);
    EXPECT_LE(cut_s, c.cut_to_s + 1e-6);
  }
  EXPECT_EQ(TSendFloor().Deadline(), TSendFloor::Clock::time_point::max()) << "no floor, no deadline";
}

struct StalledSendCase {
  const char* name;
  int peer_kib_per_second;  // 0: the peer never reads
  int stall_limit_ms;
  int floor_window_ms;  // 0: no floor
  int floor_kib;        // what each window must take
  int send_kib;
  const char* error;  // empty: the sends end well
};

void PrintTo(const StalledSendCase& c, std::ostream* os) { *os << c.name; }

class StalledSendTest : public ::testing::TestWithParam<StalledSendCase> {};

// A peer that never reads ends a send at the stall limit; one that reads
// below the floor never stalls that long, and only the floor ends it; one
// that reads above it takes everything, however many windows that lasts.
TEST_P(StalledSendTest, EndsTheSendAndLeavesTheConnectionInactiveOrTakesItAll) {
  const StalledSendCase& c = GetParam();
  test::LimitSendBuffers(65536);  // so that the sends wait on the peer's reads
  Listener listener;
  TClientSocket socket;
  socket.SetSendTimeoutMs(c.stall_limit_ms);
  int peer = listener.Connect(socket);
  ASSERT_GE(peer, 0);
  int small = 16384;  // a smaller one makes loopback's window updates stall
  ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  if (c.floor_window_ms > 0) socket.SetSendFloor(std::chrono::milliseconds(c.floor_window_ms), c.floor_kib * 1024);
  std::atomic<bool> done{false};
  std::atomic<int64_t> taken{0};
  std::thread reader([&] {
    // 1 KiB at a time, spread over each second by the clock, so a late
    // wake-up catches up instead of slowing the peer down.
    const auto began = std::chrono::steady_clock::now();
    char buf[1024];
    while (!done && c.peer_kib_per_second > 0) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
      if (taken >= ms.count() * c.peer_kib_per_second * 1024 / 1000) {
        RealSleep(5);
        continue;
      }
      const ssize_t r = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
      if (r == 0) break;
      if (r > 0) taken += r;
      if (r < 0) RealSleep(5);
    }
  });
  const std::string block(1024, 'z');
  std::string error;
  const auto began = std::chrono::steady_clock::now();
  try {
    for (int i = 0; i < c.send_kib; ++i) socket.SendBuf(block.data(), block.size());
  } catch (const ESocketError& e) {
    error = e.Message();
  }
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(error, c.error);
  if (*c.error != '\0') {
    EXPECT_FALSE(socket.Active());
    EXPECT_THROW(socket.SendText("more"), ESocketError);
  } else {
    EXPECT_TRUE(socket.Active());
    // It lasted several windows: the buffers did not take it all at once.
    EXPECT_GT(took, std::chrono::milliseconds(3 * c.floor_window_ms));
  }
  done = true;
  reader.join();
  ::close(peer);
}

// At the peer's pace the cut cases would take hours.
INSTANTIATE_TEST_SUITE_P(
    Peers, StalledSendTest,
    ::testing::Values(StalledSendCase{"NeverReads", 0, 300, 0, 0, 1 << 16, "Send timed out"},
                      StalledSendCase{"NeverReadsWithAFloor", 0, 60000, 300, 64, 1 << 16, "Send deadline passed"},
                      StalledSendCase{"ReadsBelowTheFloor", 100, 60000, 500, 1024, 1 << 16, "Send deadline passed"},
                      StalledSendCase{"ReadsAboveTheFloor", 256, 60000, 1000, 32, 1536, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// An aborted connection reaches the peer as a reset, never as an orderly end
// that would pass a cut transfer off as whole.
TEST(ClientSocketTest, AnAbortedConnectionIsResetAtThePeer) {
  Listener listener;
  TClientSocket socket;
  int peer = listener.Connect(socket);
  ASSERT_GE(peer, 0);
  socket.SendText("part of a transfer");
  socket.Abort();
  EXPECT_FALSE(socket.Active());
  char buf[64];
  ssize_t r = 0;
  while ((r = ::recv(peer, buf, sizeof buf, 0)) > 0) {
  }
  EXPECT_EQ(r, -1);
  EXPECT_EQ(errno, ECONNRESET);
  ::close(peer);
  EXPECT_NO_THROW(socket.Close());
  socket.Abort();  // nothing open: nothing happens
}

// A peer that sends more than a caller takes at once: each call stops at its
// limit and the rest waits, in order, for the next calls.
TEST(ClientSocketTest, ReceiveTakesNoMoreThanItsLimit) {
  Listener listener;
  TClientSocket socket;
  int peer = listener.Connect(socket);
  ASSERT_GE(peer, 0);
  std::string payload;
  for (int i = 0; i < 50000; ++i) payload += static_cast<char>('a' + i % 26);
  std::thread writer([&] {
    size_t done = 0;
    while (done < payload.size()) {
      ssize_t w = ::send(peer, payload.data() + done, payload.size() - done, MSG_NOSIGNAL);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    ::close(peer);
  });
  EXPECT_EQ(socket.ReceiveText(0), "");
  std::string got;
  EXPECT_TRUE(WaitUntil([&] {
    std::string part = socket.ReceiveText(1000);
    EXPECT_LE(part.size(), 1000u);
    got += part;
    return !socket.Active();
  }, 20000));
  writer.join();
  EXPECT_EQ(got, payload);
}

TEST(ClientSocketTest, AConnectionNeverOpenedSendsAndReceivesNothing) {
  TClientSocket socket;
  EXPECT_FALSE(socket.Active());
  EXPECT_EQ(socket.SendText("frame"), 0u);
  EXPECT_EQ(socket.ReceiveText(), "");
  EXPECT_NO_THROW(socket.Close());
}

}  // namespace
}  // namespace tov
