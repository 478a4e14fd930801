#include "platform/HttpClient.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "tests/support/StandIn.h"

namespace tov {
namespace {

using test::Listener;
using test::StandInWebSite;

// The download thread tells these apart by class, in any order: each must
// descend from EIdException and none from another.
template <typename A, typename... Rest>
constexpr bool SeparateClasses() {
  if constexpr (sizeof...(Rest) == 0) {
    return std::is_base_of_v<EIdException, A>;
  } else {
    return std::is_base_of_v<EIdException, A> && (!std::is_base_of_v<A, Rest> && ...) &&
           (!std::is_base_of_v<Rest, A> && ...) && SeparateClasses<Rest...>();
  }
}
static_assert(SeparateClasses<EIdSocketError, EIdConnectException, EIdConnClosedGracefully, EIdReadTimeout,
                              EIdHTTPProtocolException, EIdUnknownProtocol, EIdMalformedURL, EIdConnectTimeout,
                              EIdTLSError, EIdHTTPBadReply>());

constexpr int kRefusedPort = 81;
constexpr int kTlsPort = 443;

// The class of what a GET raised, "none" when it returned; *message gets
// the exception's message.
std::string FailureOf(TIdHTTP& http, const std::string& url, std::string* message = nullptr) {
  try {
    http.Get(url);
    return "none";
  } catch (const Exception& e) {
    if (message != nullptr) *message = e.Message();
    return e.ClassName();
  }
}

// The status of the EIdHTTPProtocolException a GET raised (its message in
// *message), -2 when it raised none.
int ProtocolErrorOf(TIdHTTP& http, const std::string& url, std::string* message = nullptr) {
  try {
    http.Get(url);
  } catch (const EIdHTTPProtocolException& e) {
    if (message != nullptr) *message = e.Message();
    return e.ErrorCode();
  }
  return -2;
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(site_.Ready());
    http_.ReadTimeout = 2000;
    http_.ConnectTimeout = 2000;
  }
  std::string Url(const std::string& path) const { return site_.Url(path); }

  StandInWebSite site_{{"127.0.0.1", "127.0.0.7"}, 80, kTlsPort};
  TIdHTTP http_;
};

TEST_F(HttpClientTest, ReturnsBodyStatusAndContentTypeOfManyRequestsInARow) {
  struct Case {
    const char* path;
    int code;
    const char* status_line;
    const char* content_type;
    std::string body;
  };
  const Case cases[] = {
      {"/page.html", 200, "HTTP/1.1 200 OK", "text/html", StandInWebSite::PageHtml()},
      {"/frames.html", 200, "HTTP/1.1 200 OK", "text/html", StandInWebSite::FramesHtml()},
      {"/robots.txt", 200, "HTTP/1.1 200 OK", "text/plain", StandInWebSite::RobotsTxt()},
      {"/status/204", 204, "HTTP/1.1 204 No Content", "", ""},
  };
  for (int round = 0; round < 3; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.path);
      EXPECT_EQ(http_.Get(Url(c.path)), c.body);
      EXPECT_EQ(http_.ResponseCode(), c.code);
      EXPECT_EQ(http_.ResponseText(), c.status_line);
      EXPECT_EQ(http_.Response().ContentType, c.content_type);
    }
  }
  // Not text, and sent compressed whatever was asked: handed over as it came.
  EXPECT_EQ(http_.Get(Url("/picture.jpg")).substr(0, 4), "\xff\xd8\xff\xe0");
  EXPECT_EQ(http_.Response().ContentType, "image/jpeg");
  EXPECT_EQ(http_.Get(Url("/gzip.html")).substr(0, 2), "\x1f\x8b");
}

TEST_F(HttpClientTest, SendsItsSettingsAndNeitherCookiesNorCompressionUnlessAsked) {
  http_.Request.Accept = "text/html";
  http_.Request.AcceptLanguage = "en";
  http_.Request.UserAgent = "Tovrane-test (+http://127.0.0.1/crawler.html)";
  http_.Request.ContentLength = 0;
  ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(kRefusedPort)).c_str(), 1);
  http_.Get(Url("/cookie"));
  std::string echo = http_.Get(Url("/echo"));
  EXPECT_EQ(echo.substr(0, echo.find("\r\n")), "GET /echo HTTP/1.1");
  EXPECT_NE(echo.find("\r\nAccept: text/html\r\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("\r\nAccept-Language: en\r\n"), std::string::npos) << echo;
  EXPECT_NE(echo.find("\r\nUser-Agent: Tovrane-test (+http://127.0.0.1/crawler.html)\r\n"), std::string::npos) << echo;
  for (const char* absent : {"Cookie:", "Accept-Encoding:", "Content-Length:", "Content-Range:", "Proxy"}) {
    EXPECT_EQ(echo.find(absent), std::string::npos) << absent << " in\n" << echo;
  }

  // One kept-alive connection carries the requests one after another.
  auto client = [](const std::string& e) { return e.substr(e.find("\r\nClient: ")); };
  EXPECT_EQ(client(http_.Get(Url("/echo"))), client(echo));

  http_.AllowCookies = true;
  http_.Get(Url("/cookie"));
  EXPECT_NE(http_.Get(Url("/echo")).find("\r\nCookie: visited=yes\r\n"), std::string::npos);
  http_.AllowCookies = false;
  EXPECT_EQ(http_.Get(Url("/echo")).find("Cookie:"), std::string::npos);
  ::unsetenv("http_proxy");

  http_.ProtocolVersion = pv1_0;
  http_.Request = TIdHTTPRequest{};
  echo = http_.Get(Url("/echo"));
  EXPECT_EQ(echo.substr(0, echo.find("\r\n")), "GET /echo HTTP/1.0");
  EXPECT_EQ(echo.find("Accept"), std::string::npos) << echo;
  EXPECT_EQ(echo.find("User-Agent"), std::string::npos) << echo;

  echo = http_.Get(Url("/echo?a b"));  // a blank goes as a browser sends it
  EXPECT_EQ(echo.substr(0, echo.find("\r\n")), "GET /echo?a%20b HTTP/1.0");

  http_.Request.UserAgent = "bad\r\nX-Injected: 1";
  EXPECT_EQ(FailureOf(http_, Url("/echo")), "EIdException");
}

TEST_F(HttpClientTest, ReportsRedirectsAndNeverFollowsThem) {
  struct Case {
    const char* path;
    int code;
    const char* dest;
  };
  const Case cases[] = {
      {"/moved", 301, "http://127.0.0.1/page.html"},
      {"/found", 302, "/page.html"},
      {"/to-file", 302, "file:///etc/passwd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::vector<std::string> seen;
    http_.OnRedirect = [&](TIdHTTP&, std::string& dest, int& count, bool& handled, std::string& method) {
      seen.push_back(dest + " " + std::to_string(count) + " " + method + (handled ? " handled" : ""));
      handled = true;  // even a handler that asks for it gets nothing followed
    };
    EXPECT_EQ(ProtocolErrorOf(http_, Url(c.path)), c.code);
    EXPECT_EQ(http_.ResponseCode(), c.code);
    EXPECT_EQ(seen, std::vector<std::string>{std::string(c.dest) + " 1 GET"});
  }
  http_.OnRedirect = nullptr;
  EXPECT_EQ(FailureOf(http_, Url("/moved")), "EIdHTTPProtocolException");
}

TEST_F(HttpClientTest, OtherStatusesRaiseWithTheStatusReadable) {
  struct Case {
    const char* path;
    int code;
    const char* status_line;
  };
  const Case cases[] = {
      {"/missing", 404, "HTTP/1.1 404 Not Found"},
      {"/status/403", 403, "HTTP/1.1 403 Forbidden"},
      {"/status/500", 500, "HTTP/1.1 500 Internal Server Error"},
      {"/status/307", 307, "HTTP/1.1 307 Temporary Redirect"},  // no Location: no notification
      {"/status/304", 304, "HTTP/1.1 304 Not Modified"},
  };
  bool notified = false;
  http_.OnRedirect = [&](TIdHTTP&, std::string&, int&, bool&, std::string&) { notified = true; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string message;
    EXPECT_EQ(ProtocolErrorOf(http_, Url(c.path), &message), c.code);
    EXPECT_EQ(message, c.status_line);
    EXPECT_EQ(http_.ResponseCode(), c.code);
    EXPECT_EQ(http_.ResponseText(), c.status_line);
  }
  EXPECT_FALSE(notified);
}

TEST_F(HttpClientTest, EachFailureHasItsClassAndTheClientGoesOn) {
  http_.ReadTimeout = 1000;
  struct Case {
    std::string url;
    const char* failure;
    const char* message_start;  // callers log it and keep its first 30 characters
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + std::to_string(kRefusedPort) + "/page.html", "EIdConnectException", "Connection refused."},
      {Url("/close"), "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {Url("/reset"), "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {Url("/partial.html"), "EIdConnClosedGracefully", "Connection Closed Gracefully."},
      {Url("/slow.html?delay=5"), "EIdReadTimeout", "Read timed out."},
      {"http://no-such-host.invalid/page.html", "EIdSocketError", "Could not resolve host"},
      // No route out of the namespace.
      {"http://10.255.255.1/page.html", "EIdSocketError", "Network is unreachable"},
      {Url("/garbage"), "EIdHTTPBadReply", ""},
      {"http://127.0.0.1:99999/page.html", "EIdMalformedURL", ""},
      // https is fetched; this server's certificate is trusted by nobody.
      {"https://127.0.0.1:" + std::to_string(kTlsPort) + "/page.html", "EIdTLSError", "SSL certificate problem"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string message;
    EXPECT_EQ(FailureOf(http_, c.url, &message), c.failure);
    EXPECT_EQ(message.substr(0, std::strlen(c.message_start)), c.message_start);
    if (c.url.find("partial") == std::string::npos) {
      // No answer arrived.
      EXPECT_EQ(http_.ResponseText(), "");
      EXPECT_EQ(http_.ResponseCode(), -1);
    }
    EXPECT_EQ(http_.Get(Url("/page.html")), StandInWebSite::PageHtml());
  }
}

TEST_F(HttpClientTest, AConnectionThatIsNeverAcceptedTimesOutAsAConnectFailure) {
  // Backlog 0 holds one connection; the handshake of the next is never answered.
  Listener listener(0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(listener.Port()));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  http_.ConnectTimeout = 500;
  EXPECT_EQ(FailureOf(http_, "http://127.0.0.1:" + std::to_string(listener.Port()) + "/"), "EIdConnectTimeout");
  for (int fd : fillers) ::close(fd);
}

TEST_F(HttpClientTest, ReadTimeoutCutsSilenceNotASlowButSteadyAnswer) {
  http_.ReadTimeout = 1000;
  // Ten pieces 300 ms apart: three seconds in all, never a second of silence.
  std::string body = http_.Get(Url("/trickle.html?pieces=10&interval=300"));
  std::string piece = "<p>trickle</p>\r\n";
  std::string want;
  for (int i = 0; i < 10; ++i) want += piece;
  EXPECT_EQ(body, want);
  EXPECT_EQ(FailureOf(http_, Url("/trickle.html?pieces=2&interval=3000")), "EIdReadTimeout");
}

// An answer that never falls silent for ReadTimeout, in its header or in its
// body, ends at the page deadline as a read time-out.
TEST_F(HttpClientTest, APageDeadlineEndsAnAnswerThatTrickles) {
  http_.ReadTimeout = 2000;
  http_.PageDeadline = 3000;
  struct Case {
    const char* path;  // each trickle takes about 8 s, never 1.5 s without a byte
    const char* failure;
  };
  const Case cases[] = {
      {"/trickle.html?pieces=40&interval=200", "EIdReadTimeout"},
      {"/trickle-head.html?lines=6&interval=100", "EIdReadTimeout"},
      // Each of three requests in a row, on one kept-alive connection and
      // together longer than the deadline, has a deadline of its own.
      {"/trickle.html?pieces=6&interval=200", "none"},
      {"/trickle.html?pieces=6&interval=200", "none"},
      {"/trickle.html?pieces=6&interval=200", "none"},
      {"/trickle-head.html?lines=1&interval=50", "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string message;
    EXPECT_EQ(FailureOf(http_, Url(c.path), &message), c.failure);
    if (std::string(c.failure) != "none") {
      EXPECT_EQ(message, "Read timed out: the answer took longer than 3000 ms.");
    }
  }
  EXPECT_EQ(http_.Get(Url("/trickle-head.html?lines=1&interval=10")), StandInWebSite::PageHtml());
}

TEST_F(HttpClientTest, KeepsABodyUpToTheBoundAndCountsItWhole) {
  const size_t bound = TIdHTTP::kDefaultMaxBodyBytes;
  ASSERT_GT(bound, size_t{5242880});
  ASSERT_LT(bound, StandInWebSite::kBigPageSize);
  for (const char* path : {"/big.html", "/endless.html"}) {
    SCOPED_TRACE(path);
    std::string body = http_.Get(Url(path));
    EXPECT_EQ(http_.ResponseCode(), 200);
    ASSERT_EQ(body.size(), bound);
    EXPECT_TRUE(body == StandInWebSite::BigPagePrefix(bound));
    EXPECT_EQ(http_.Get(Url("/robots.txt")), StandInWebSite::RobotsTxt());
  }
  http_.MaxBodyBytes = 10;
  EXPECT_EQ(http_.Get(Url("/page.html")), StandInWebSite::PageHtml().substr(0, 10));
}

TEST_F(HttpClientTest, RefusesEveryOtherSchemeWithoutContactingAnything) {
  Listener listener;
  std::string port = std::to_string(listener.Port());
  const std::string refused[] = {
      "file:///etc/passwd",
      "FILE:///etc/passwd",
      "file:/etc/passwd",
      "ftp://127.0.0.1:" + port + "/",
      "gopher://127.0.0.1:" + port + "/",
      "dict://127.0.0.1:" + port + "/d:word",
      "telnet://127.0.0.1:" + port + "/",
      "ldap://127.0.0.1:" + port + "/",
      "smtp://127.0.0.1:" + port + "/",
      "tftp://127.0.0.1:" + port + "/x",
      "scp://127.0.0.1:" + port + "/etc/passwd",
      "mailto:someone@example.com",
      "javascript:alert(1)",
  };
  int connects = 0;
  http_.OnConnected = [&](TIdHTTP&) { ++connects; };
  for (const auto& url : refused) {
    EXPECT_EQ(FailureOf(http_, url), "EIdUnknownProtocol") << url;
    EXPECT_TRUE(IsRefusedScheme(url)) << url;
  }
  EXPECT_EQ(connects, 0);
  EXPECT_EQ(listener.TryAccept(), -1);

  // http in any case, and URLs without a scheme (fetched as http), are fetched.
  for (const std::string url : {"HTTP://127.0.0.1/page.html", "Http://127.0.0.1:80/page.html",
                                "127.0.0.1:80/page.html", "127.0.0.1/page.html"}) {
    EXPECT_FALSE(IsRefusedScheme(url)) << url;
    EXPECT_EQ(http_.Get(url), StandInWebSite::PageHtml()) << url;
  }
  EXPECT_FALSE(IsRefusedScheme("https://127.0.0.1/"));
}

TEST_F(HttpClientTest, OnConnectedSeesThePeerAddressBeforeTheAnswer) {
  std::vector<std::string> peers;
  http_.OnConnected = [&](TIdHTTP& sender) {
    EXPECT_EQ(&sender, &http_);
    EXPECT_EQ(sender.ResponseText(), "");  // before any answer
    peers.push_back(sender.PeerIP());
  };
  http_.Get(site_.Url("/page.html", "127.0.0.7"));
  http_.Get(site_.Url("/robots.txt", "127.0.0.7"));
  http_.Get(site_.Url("/page.html", "127.0.0.1"));
  EXPECT_EQ(peers, (std::vector<std::string>{"127.0.0.7", "127.0.0.7", "127.0.0.1"}));
  EXPECT_EQ(http_.PeerIP(), "127.0.0.1");
}

TEST_F(HttpClientTest, AFailingHandlerEndsTheGetWithItsOwnException) {
  http_.OnConnected = [](TIdHTTP&) { throw EAbort(); };
  EXPECT_EQ(FailureOf(http_, Url("/page.html")), "EAbort");
  http_.OnConnected = nullptr;
  http_.OnRedirect = [](TIdHTTP&, std::string&, int&, bool&, std::string&) { throw EConvertError("bad"); };
  EXPECT_EQ(FailureOf(http_, Url("/found")), "EConvertError");
  EXPECT_EQ(http_.Get(Url("/page.html")), StandInWebSite::PageHtml());
}

TEST_F(HttpClientTest, ClientsOnSeveralThreadsWorkSideBySide) {
  constexpr int kThreads = 8;
  constexpr int kPages = 25;
  std::vector<int> good(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TIdHTTP http;
      http.ReadTimeout = 5000;
      std::string peer;
      http.OnConnected = [&](TIdHTTP& sender) { peer = sender.PeerIP(); };
      const std::string address = t % 2 ? "127.0.0.7" : "127.0.0.1";
      for (int p = 0; p < kPages; ++p) {
        std::string path = "/gen/20.html?p=" + std::to_string(t * 1000 + p);
        std::string body;
        try {
          body = http.Get(site_.Url(path, address));
        } catch (const Exception&) {
          continue;
        }
        if (body.size() == 20 * 1024 && body.find("<title>" + path + "</title>") != std::string::npos &&
            peer == address) {
          ++good[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good, std::vector<int>(kThreads, kPages));
}

}  // namespace
}  // namespace tov
