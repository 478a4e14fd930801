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

struct StalledSendCase {
  const char* name;
  int peer_reads_per_second;  // 1 KiB reads; 0: the peer never reads
  int stall_limit_ms;
  int deadline_ms;  // 0: none
  const char* error;
};

void PrintTo(const StalledSendCase& c, std::ostream* os) { *os << c.name; }

class StalledSendTest : public ::testing::TestWithParam<StalledSendCase> {};

// A peer that never reads ends a send at the stall limit; one that reads
// just often enough never stalls that long, and only the deadline ends it.
TEST_P(StalledSendTest, EndsTheSendAndLeavesTheConnectionInactive) {
  const StalledSendCase& c = GetParam();
  Listener listener;
  TClientSocket socket;
  socket.SetSendTimeoutMs(c.stall_limit_ms);
  int peer = listener.Connect(socket);
  ASSERT_GE(peer, 0);
  int small = 4096;
  ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  if (c.deadline_ms > 0) {
    socket.SetSendDeadline(TClientSocket::Clock::now() + std::chrono::milliseconds(c.deadline_ms));
  }
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char buf[1024];
    while (!done && c.peer_reads_per_second > 0) {
      if (::recv(peer, buf, sizeof buf, MSG_DONTWAIT) == 0) break;
      RealSleep(static_cast<uint32_t>(1000 / c.peer_reads_per_second));
    }
  });
  // At the peer's pace the whole would take hours.
  const std::string block(1 << 20, 'z');
  std::string error;
  try {
    for (int i = 0; i < 64; ++i) socket.SendBuf(block.data(), block.size());
  } catch (const ESocketError& e) {
    error = e.Message();
  }
  done = true;
  reader.join();
  EXPECT_EQ(error, c.error);
  EXPECT_FALSE(socket.Active());
  EXPECT_THROW(socket.SendText("more"), ESocketError);
  ::close(peer);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, StalledSendTest,
    ::testing::Values(StalledSendCase{"NeverReads", 0, 300, 0, "Send timed out"},
                      StalledSendCase{"NeverReadsBeforeTheDeadline", 0, 60000, 300, "Send deadline passed"},
                      StalledSendCase{"ReadsJustOftenEnough", 100, 60000, 500, "Send deadline passed"}),
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
