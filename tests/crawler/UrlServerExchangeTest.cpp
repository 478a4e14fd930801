// The real URL-fetch thread, started by the engine, against the stand-in URL
// server inside a private network namespace.
#include "crawler/UrlServerExchange.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/SharedGlobals.h"
#include "crawler/StorageSender.h"
#include "crawler/UrlQueue.h"
#include "crawler/UrlServerReply.h"
#include "platform/Files.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/support/StandIn.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

using test::StandInUrlServer;
using test::WaitUntil;

constexpr int kWaitMs = 60000;
// Engine sleeps last a twentieth of what they ask for: a read poll of 100 ms
// takes 5 ms, so the stand-in's pauses of 50 ms and more still span polls.
constexpr uint32_t kSleepDivisor = 20;

const std::string kTrying = "Pr\xF8" "ver \xE5" " henter inn 500 urler";
const std::string kFailed = "Feil oppstod n\xE5" "r vi pr\xF8" "vde \xE5" " f\xE5" " data fra urlserveren";

std::mutex g_sleep_lock;
std::map<std::pair<uint32_t, uint32_t>, int> g_sleeps;  // (thread, ms) -> how often

void ScaledSleep(uint32_t ms) {
  {
    std::lock_guard<std::mutex> lock(g_sleep_lock);
    ++g_sleeps[{CurrentThreadId(), ms}];
  }
  RealSleep(ms / kSleepDivisor);
}

int SleepsOf(uint32_t thread, uint32_t ms) {
  std::lock_guard<std::mutex> lock(g_sleep_lock);
  auto it = g_sleeps.find({thread, ms});
  return it == g_sleeps.end() ? 0 : it->second;
}

bool IsAttemptLine(const std::string& line) {
  return line.rfind("lengde:--", 0) == 0 || line.rfind("-----", 0) == 0;
}

int CountLines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

std::string Page(const std::string& url, const std::string& storage = "127.0.0.2") {
  return R"({"url": ")" + url + R"(", "docid": "7", "dato": "20041001", "storage": ")" + storage +
         R"(", "thumb": true})";
}

std::string Script(const std::vector<std::string>& replies) {
  std::string s = R"({"replies": [)";
  for (size_t i = 0; i < replies.size(); ++i) s += (i ? ", " : "") + replies[i];
  return s + "]}";
}

class UrlExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir("sqtemp", 0755), 0);
    SetSleepFunction(&ScaledSleep);
  }
  void TearDown() override {
    EXPECT_TRUE(test::StopTestEngine(log, kWaitMs));
    SetSleepFunction(nullptr);
  }
  // Starts the engine; fetching begins once the account is set, as the window
  // does it.
  void Start(const std::string& user = "", const std::string& password = "", bool verbose = true,
             bool enable = true) {
    StartCrawler(
        log.Proc(), "0.82", [](const std::string&) {}, nullptr, [](uint8_t) {}, errors.Proc(), [] {}, [] {}, false,
        "");
    SetVerboseLog(verbose);
    SetUserInfo(user, password, "team");
    if (enable) EnableFetching();
  }
  uint32_t FetcherId() const {
    for (const auto& l : log.Lines()) {
      const std::string head = "Creating thread HentUrlerFraUrlserver as id: ";
      if (l.rfind(head, 0) == 0) return static_cast<uint32_t>(std::stoul(l.substr(head.size())));
    }
    return 0;
  }
  // Waits until exchange n (from 1) has ended, which the start of the next shows.
  bool WaitForExchange(int n) {
    return WaitUntil([&] { return log.CountPrefix(kTrying) > n; }, kWaitMs);
  }
  // The log lines of exchange n, from its first line to the next exchange's.
  std::vector<std::string> Exchange(int n) const {
    std::vector<std::string> out;
    int seen = 0;
    for (const auto& l : log.Lines()) {
      if (l == kTrying) ++seen;
      if (seen == n) out.push_back(l);
      if (seen > n) break;
    }
    return out;
  }
  static std::vector<std::string> WithoutAttempts(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
      if (!IsAttemptLine(l)) out.push_back(l);
    }
    return out;
  }
  static std::vector<UrlInfo> TakeQueued() {
    std::vector<UrlInfo> out;
    UrlInfo page;
    while (TryGetUrl(page)) out.push_back(page);
    return out;
  }
  std::string Dir(const std::string& name) const { return PathJoin(dir.Path(), name); }

  test::FreshEngineState engine_state;
  test::ScopedWorkDir dir;
  test::EngineLog log;
  test::EngineLog errors;
};

TEST_F(UrlExchangeTest, StartCreatesTheFetcherFirstAtIdlePriority) {
  Start("", "", false, false);
  std::vector<std::string> creations;
  for (const auto& l : log.Lines()) {
    if (l.rfind("Creating thread ", 0) == 0) creations.push_back(l.substr(0, l.find(" as id: ")));
  }
  EXPECT_EQ(creations,
            (std::vector<std::string>{"Creating thread HentUrlerFraUrlserver", "Creating thread SentTilLagringserver"}));
  THentUrlerFraUrlserverThread* fetcher = HentUrlerFraUrlserver.load();
  ASSERT_NE(fetcher, nullptr);
  EXPECT_EQ(fetcher->ThreadID(), FetcherId());
  EXPECT_EQ(::sched_getscheduler(static_cast<pid_t>(FetcherId())), SCHED_IDLE);
}

// An empty account: the frame byte by byte, the reply's pages in the queue
// and every line of the exchange with verbose logging on.
TEST_F(UrlExchangeTest, OneExchangeFrameRecordsAndLines) {
  StandInUrlServer server(Dir("url"), Script({"{\"pages\": [" + Page("http://a.example/1") + ", " +
                                              Page("http://b.example/2?x=1&y=2", "127.0.0.3") + "]}"}));
  ASSERT_TRUE(server.Ready());
  Start();
  ASSERT_TRUE(WaitForExchange(1));

  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xml><komando>get_sider_for_integrert_nedlasting</komando>"
      "<applicationversion>0.82</applicationversion><user></user><password></password><data><antall>500</antall>"
      "</data></xml>";
  const std::string frame =
      std::string("224") + std::string(7, '\0') + xml + std::string(800, ' ') + std::string(1024, '\0');
  ASSERT_GE(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0], frame);

  const std::vector<UrlInfo> queued = TakeQueued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].Url, "http://a.example/1");
  EXPECT_EQ(queued[0].PageType, "crawl");
  EXPECT_EQ(queued[0].DocID, "7");
  EXPECT_EQ(queued[0].Dato, "20041001");
  EXPECT_EQ(queued[0].Storage, "127.0.0.2");
  EXPECT_TRUE(queued[0].MakeThumbnale);
  EXPECT_EQ(queued[1].Url, "http://b.example/2?x=1&y=2");
  EXPECT_EQ(queued[1].Storage, "127.0.0.3");

  // The reply comes in one send, so the first read that brings anything
  // brings all of it.
  const std::vector<std::string> lines = Exchange(1);
  std::string prefix;
  std::string body;
  for (const auto& l : lines) {
    if (l.rfind("XML_siderlengde: ", 0) == 0) prefix = l.substr(17);
    if (l.rfind("Motok: ", 0) == 0) body = l.substr(7);
  }
  ASSERT_EQ(prefix.size(), 10u + body.size());
  const std::string announced = std::to_string(body.size() + 10);
  EXPECT_EQ(prefix.substr(0, 10), announced + std::string(10 - announced.size(), '\0'));
  EXPECT_EQ(WithoutAttempts(lines),
            (std::vector<std::string>{kTrying, "Client.Open begin", "Client.Open end",
                                      "Starting to send recuest for urls", "end recuest",
                                      "Reading size of transmission", "XML_siderlengde: " + prefix, "Geting DataSize",
                                      "Skal mota " + std::to_string(body.size()) + " bytes.", "Copying owerflow data",
                                      "End reading size of transmission", "Motok: " + body, "a crawlthis",
                                      "Legger til: Url: http://a.example/1 for crawl",
                                      "Legger til: Url: http://b.example/2?x=1&y=2 for crawl"}));
  // Prefix reads until something came, the last with the whole length; the
  // body was complete, so no body read.
  std::vector<std::string> attempts;
  for (const auto& l : lines) {
    if (IsAttemptLine(l)) attempts.push_back(l);
  }
  ASSERT_FALSE(attempts.empty());
  EXPECT_EQ(attempts.back(), "lengde:--" + std::to_string(prefix.size()) + "-----10-----");
  for (size_t i = 0; i + 1 < attempts.size(); ++i) EXPECT_EQ(attempts[i], "lengde:--0-----10-----");
  EXPECT_TRUE(errors.Lines().empty());
}

// Without verbose logging an exchange shows only its first line and what the
// reply handling logs. Of the account's characters only those that could end
// their element or start markup go out as references; quotes go as typed, as
// they do in the storage header.
TEST_F(UrlExchangeTest, AccountFieldsAreEncodedInTheFrame) {
  StandInUrlServer server(Dir("url"), Script({R"({"pages": []})"}));
  ASSERT_TRUE(server.Ready());
  Start("k&r<\xF8>", "p\"w'", false);
  ASSERT_TRUE(WaitForExchange(1));

  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xml><komando>get_sider_for_integrert_nedlasting</komando>"
      "<applicationversion>0.82</applicationversion><user>k&amp;r&lt;\xF8&gt;</user><password>p\"w'"
      "</password><data><antall>500</antall></data></xml>";
  const std::string length = std::to_string(xml.size() + 10);
  const std::string frame = length + std::string(10 - length.size(), '\0') + xml +
                            std::string(1014 - xml.size(), ' ') + std::string(1024, '\0');
  ASSERT_GE(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0], frame);
  EXPECT_EQ(Exchange(1), (std::vector<std::string>{kTrying, "a crawlthis"}));
}

struct HostileCase {
  std::string name;
  std::string step;                  // the stand-in's reply
  std::vector<std::string> ending;   // the last lines of the exchange
  size_t queued;                     // pages queued by it
  std::string attempt_line;          // an attempt line to count ...
  int attempts;                      // ... and how often it must appear (-1: not counted)
  std::string error_line;            // expected in the error log ("" for none)
};
void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

const std::string kFailureEnding[] = {"Unknown Error: Exception", kFailed};
const std::string kPages3 = "[" + Page("http://p/1") + ", " + Page("http://p/2") + ", " + Page("http://p/3") + "]";
// The XML that the stand-in makes of kPages3 (see url_server.py).
std::string Pages3Xml() {
  std::string xml = "<?xml version=\"1.0\"?>\r\n<urlserver><crawlthis>";
  for (int i = 1; i <= 3; ++i) {
    xml += "<crawl><url>http://p/" + std::to_string(i) +
           "</url><dato>20041001</dato><DocID>7</DocID><storage>127.0.0.2</storage>"
           "<MakeThumbnale>TRUE</MakeThumbnale></crawl>";
  }
  return xml + "</crawlthis></urlserver>\r\n";
}

std::vector<HostileCase> HostileCases() {
  const size_t n = Pages3Xml().size();
  const std::string expected = std::to_string(n);
  const std::string last_page = "Legger til: Url: http://p/3 for crawl";
  const std::string limit = std::to_string(MaxUrlServerReplySize);
  const std::string refused_size = "URL server reply refused: it announces 99999989 bytes, more than the limit of " + limit;
  const std::string refused_flood = "URL server reply refused: more than " + limit + " bytes arrived";
  // The first piece brings the prefix and all but 5000 bytes of the largest
  // reply accepted; the second, 5848 bytes, crosses the limit in one read.
  const int64_t first = 10 + MaxUrlServerReplySize - 5000;
  const std::string flood = R"({"xml": "", "announce": )" + std::to_string(MaxUrlServerReplySize + 10) +
                            R"(, "filler": )" + std::to_string(MaxUrlServerReplySize + 848) +
                            R"(, "splits": [)" + std::to_string(first) + R"(], "pause": 0.3, "end": "hold"})";
  return {
      // 52 reads that bring nothing: the 52nd gives up.
      {"NoAnswer", R"({"silent": true, "end": "hold"})", {kFailureEnding[0], kFailureEnding[1]}, 0,
       "lengde:--0-----10-----", 52, ""},
      {"ClosedWithoutAnswer", R"({"silent": true})", {kFailureEnding[0], kFailureEnding[1]}, 0, "", -1, ""},
      {"DigitsFollowedByBlanks", R"({"pages": )" + kPages3 + R"(, "prefix": "blanks_after"})",
       {"Unknown Error: EConvertError", kFailed}, 0, "", -1, ""},
      {"LeadingZeros", R"({"pages": )" + kPages3 + R"(, "prefix": "leading_zeros"})", {last_page}, 3, "", -1, ""},
      {"BlanksBeforeDigits", R"({"pages": )" + kPages3 + R"(, "prefix": "blanks_before"})", {last_page}, 3, "", -1,
       ""},
      // 201 body reads that bring nothing; the prefix read brought all that came.
      {"AnnouncesMoreThanItSendsAndWaits", R"({"pages": )" + kPages3 + R"(, "truncate": 100, "end": "hold"})",
       {kFailureEnding[0], kFailureEnding[1]}, 0, "-----100-----" + expected + "-----", 201, ""},
      {"AnnouncesMoreThanItSendsAndCloses", R"({"pages": )" + kPages3 + R"(, "truncate": 100})",
       {kFailureEnding[0], kFailureEnding[1]}, 0, "", -1, ""},
      {"SendsMoreThanItAnnounces", R"({"pages": )" + kPages3 + R"(, "announce": 20})", {last_page}, 3,
       "Skal mota 10 bytes.", 1, ""},
      {"ManySmallSends", R"({"pages": )" + kPages3 + R"(, "chunk": 7})", {last_page}, 3, "", -1, ""},
      {"ChunksWithPauses", R"({"pages": )" + kPages3 + R"(, "splits": [4, 10, 60, 300], "pause": 0.1})", {last_page},
       3, "", -1, ""},
      {"MalformedXml", R"({"xml": "<urlserver><crawlthis><crawl><url>u</url></crawlthis></urlserver>"})",
       {"Unknown Error: EFilerError", kFailed}, 0, "", -1, ""},
      {"ResetMidReply", R"({"pages": )" + kPages3 + R"(, "truncate": 100, "end": "reset"})",
       {"Unknown Error: ESocketError", kFailed}, 0, "", -1, ""},
      {"EmptyReply", R"({"xml": ""})", {"End reading size of transmission", "Motok: ", "Motok ikke noe XML data"}, 0,
       "", -1, ""},
      {"AnnouncesMoreThanTheLimit", R"({"xml": "<urlserver/>", "announce": 99999999, "end": "hold"})",
       {refused_size, "Unknown Error: EUrlServerError", kFailed}, 0, "", -1, refused_size},
      // Announces the largest reply accepted and sends more.
      {"SendsMoreThanTheLimit", flood,
       {refused_flood, "Unknown Error: EUrlServerError", kFailed}, 0, "", -1, refused_flood},
  };
}

class UrlExchangeHostileTest : public UrlExchangeTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(UrlExchangeHostileTest, EndsTheExchangeAsItMust) {
  const HostileCase& c = GetParam();
  StandInUrlServer server(Dir("url"), Script({c.step}));
  ASSERT_TRUE(server.Ready());
  Start();
  ASSERT_TRUE(WaitForExchange(1));

  std::vector<std::string> lines = Exchange(1);
  while (!lines.empty() && IsAttemptLine(lines.back())) lines.pop_back();
  ASSERT_GE(lines.size(), c.ending.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<ptrdiff_t>(c.ending.size()), lines.end()), c.ending);
  EXPECT_EQ(TakeQueued().size(), c.queued);
  if (c.attempts >= 0) {
    EXPECT_EQ(CountLines(Exchange(1), c.attempt_line), c.attempts) << c.attempt_line;
  }
  if (c.error_line.empty()) {
    EXPECT_TRUE(errors.Lines().empty());
  } else {
    EXPECT_TRUE(errors.Contains(c.error_line));
  }
  // A failed exchange pauses a second before the next turn.
  if (lines.back() == kFailed) {
    EXPECT_GE(SleepsOf(FetcherId(), 1000), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, UrlExchangeHostileTest, ::testing::ValuesIn(HostileCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(UrlExchangeTest, AnUnreachableServerIsLoggedAndTheExchangeFails) {
  Start("", "", false);
  ASSERT_TRUE(WaitForExchange(1));
  const std::string connect = "Kunne ikke koble til urlserveren " + std::string(UrlServerHost) + ":8080 : ESocketError";
  EXPECT_EQ(Exchange(1), (std::vector<std::string>{kTrying, connect, "Unknown Error: Exception", kFailed}));
  EXPECT_TRUE(errors.Contains(connect));
  EXPECT_GE(SleepsOf(FetcherId(), 1000), 1);
}

// A request that cannot be built fails in the main loop, not in the
// exchange: nothing is sent, the loop's own line is logged, and the next turn
// waits a second.
TEST_F(UrlExchangeTest, ARequestThatCannotBeBuiltIsAFailureOfTheMainLoop) {
  StandInUrlServer server(Dir("url"), Script({R"({"pages": []})"}));
  ASSERT_TRUE(server.Ready());
  Start(std::string(1000, 'u'), "", false);
  ASSERT_TRUE(WaitForExchange(2));
  const std::string refused = "Request for urls not sent: its XML is 1214 characters, more than the 1014 its frame holds";
  EXPECT_EQ(Exchange(1), (std::vector<std::string>{kTrying, refused, "Noe feil skjede i main loopen"}));
  EXPECT_TRUE(errors.Contains(refused));
  EXPECT_GE(SleepsOf(FetcherId(), 1000), 1);
  FetchEnabled = false;
  EXPECT_TRUE(WaitUntil([] { return !ResivingInProgres; }, kWaitMs));
  EXPECT_EQ(server.CountRequests(), 0u);
}

TEST_F(UrlExchangeTest, ReceivingIsFlaggedWhileAnExchangeRuns) {
  StandInUrlServer server(Dir("url"), Script({R"({"silent": true, "end": "hold"})"}));
  ASSERT_TRUE(server.Ready());
  Start("", "", false);
  ASSERT_TRUE(WaitUntil([&] { return server.CountRequests() >= 1; }, kWaitMs));
  EXPECT_TRUE(ResivingInProgres);  // the reply is awaited for at least 52 polls
  FetchEnabled = false;
  EXPECT_TRUE(WaitUntil([] { return !ResivingInProgres; }, kWaitMs));
}

// No request while a condition forbids it: the fetcher only sleeps 5000 ms
// per turn. Once the condition is lifted (to its limit) a request goes out.
struct ThrottleCase {
  std::string name;
  std::function<void()> hold;
  std::function<void()> lift;
};
void PrintTo(const ThrottleCase& c, std::ostream* os) { *os << c.name; }

class UrlExchangeThrottleTest : public UrlExchangeTest, public ::testing::WithParamInterface<ThrottleCase> {};

TEST_P(UrlExchangeThrottleTest, NoRequestUntilTheConditionsAllow) {
  StandInUrlServer server(Dir("url"), Script({R"({"pages": []})"}));
  ASSERT_TRUE(server.Ready());
  Start("", "", true, false);
  GetParam().hold();
  const uint32_t fetcher = FetcherId();
  const int idle = SleepsOf(fetcher, 5000);
  ASSERT_TRUE(WaitUntil([&] { return SleepsOf(fetcher, 5000) >= idle + 3; }, kWaitMs));
  EXPECT_EQ(server.CountRequests(), 0u);
  EXPECT_EQ(log.CountPrefix(kTrying), 0);
  GetParam().lift();
  EXPECT_TRUE(WaitUntil([&] { return server.CountRequests() >= 1; }, kWaitMs));
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, UrlExchangeThrottleTest,
    ::testing::Values(ThrottleCase{"FetchingNotEnabled", [] {}, [] { EnableFetching(); }},
                      ThrottleCase{"MoreThan1500PendingSideFileEntries",
                                   [] {
                                     SideFilePending = 1501;
                                     EnableFetching();
                                   },
                                   [] { SideFilePending = 1500; }},
                      ThrottleCase{"FiveHundredQueuedPages",
                                   [] {
                                     for (int i = 0; i < 500; ++i) {
                                       PutUrl(test::MakePage("http://q/" + std::to_string(i)));
                                     }
                                     EnableFetching();
                                   },
                                   [] {
                                     UrlInfo page;
                                     TryGetUrl(page);  // 499 left
                                   }}),
    [](const auto& info) { return info.param.name; });

// The stand-in's page mode, as the end-to-end tests use it: batches of the
// listed pages while the queue runs low, then a reply asking for a pause.
TEST_F(UrlExchangeTest, BatchesOfListedPagesThenAPause) {
  std::string list;
  for (int i = 0; i < 1200; ++i) list += "http://site.example/page/" + std::to_string(i) + "\n";
  test::WriteFileBytes(Dir("pages.txt"), list);
  StandInUrlServer server(Dir("url"), "", {"--pages", Dir("pages.txt"), "--idle-sleep", "7"});
  ASSERT_TRUE(server.Ready());
  Start("", "", false);

  std::vector<UrlInfo> got;
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const auto& p : TakeQueued()) got.push_back(p);
        return got.size() >= 1200;
      },
      kWaitMs));
  ASSERT_EQ(got.size(), 1200u);
  for (int i = 0; i < 1200; ++i) {
    ASSERT_EQ(got[static_cast<size_t>(i)].Url, "http://site.example/page/" + std::to_string(i));
    ASSERT_EQ(got[static_cast<size_t>(i)].DocID, std::to_string(i + 1));
    ASSERT_EQ(got[static_cast<size_t>(i)].Storage, "127.0.0.2");
  }
  EXPECT_TRUE(WaitUntil([&] { return SleepsOf(FetcherId(), 7000) >= 1; }, kWaitMs));
  EXPECT_TRUE(log.Contains("    Comment: No more pages"));
}

}  // namespace
}  // namespace tov
