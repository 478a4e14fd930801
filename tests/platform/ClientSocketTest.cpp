#include "platform/ClientSocket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

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
