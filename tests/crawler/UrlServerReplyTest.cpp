// The request frame, the reply's length prefix and the reply handling, on
// texts; no network.
#include "crawler/UrlServerReply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "crawler/UrlServerExchange.h"
#include "tests/crawler/EngineTestSupport.h"
#include "tests/support/TestSupport.h"
#include "toolkit/XmlDom.h"

namespace tov {
namespace {

const std::string kXmlHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xml><komando>get_sider_for_integrert_nedlasting</komando>"
    "<applicationversion>";

std::string RequestXml(const std::string& user, const std::string& password) {
  return kXmlHead + "0.82</applicationversion><user>" + user + "</user><password>" + password +
         "</password><data><antall>500</antall></data></xml>";
}

TEST(UrlRequestFrame, EmptyAccountGivesTheShortestFrame) {
  const std::string xml = BuildUrlRequestXml("0.82", "", "");
  EXPECT_EQ(xml, RequestXml("", ""));
  ASSERT_EQ(xml.size(), 214u);
  const std::string frame = EncodeUrlRequestFrame(xml);
  ASSERT_EQ(frame.size(), 2048u);
  EXPECT_EQ(frame.substr(0, 10), std::string("224") + std::string(7, '\0'));
  EXPECT_EQ(frame.substr(10, 214), xml);
  EXPECT_EQ(frame.substr(224, 800), std::string(800, ' '));
  EXPECT_EQ(frame.substr(1024), std::string(1024, '\0'));
}

// The account cannot end an element early: "&", "<" and ">" go out as
// references, quotes as typed; the length field counts the encoded text, and
// a reader gets the original text back.
TEST(UrlRequestFrame, AccountFieldsAreEntityEncoded) {
  const std::string user = "a&b<c>d";
  const std::string password = "\"p'w</password><x>";
  const std::string xml = BuildUrlRequestXml("0.82", user, password);
  EXPECT_EQ(xml, RequestXml("a&amp;b&lt;c&gt;d", "\"p'w&lt;/password&gt;&lt;x&gt;"));
  const std::string frame = EncodeUrlRequestFrame(xml);
  EXPECT_EQ(frame.substr(0, 10), std::to_string(xml.size() + 10) + std::string(7, '\0'));

  TXmlDocument doc;
  doc.ReadFromString(xml);
  ASSERT_EQ(doc.Root->NodeCount(), 5);
  EXPECT_EQ(doc.Root->GetNode(2)->Name, "user");
  EXPECT_EQ(doc.Root->GetNode(2)->GetValue(), user);
  EXPECT_EQ(doc.Root->GetNode(3)->Name, "password");
  EXPECT_EQ(doc.Root->GetNode(3)->GetValue(), password);
}

// Settings hold at most 60 characters each; even when every one becomes the
// longest reference, "&amp;", the XML fits. Longer XML has no frame.
TEST(UrlRequestFrame, TheLongestSettingsFitAndLongerXmlIsRefused) {
  const std::string xml = BuildUrlRequestXml("0.82", std::string(60, '&'), std::string(60, '&'));
  EXPECT_EQ(xml.size(), 214u + 600u);
  EXPECT_EQ(EncodeUrlRequestFrame(xml).substr(0, 4), std::string("824") + '\0');

  const std::string longest(1014, 'x');
  const std::string frame = EncodeUrlRequestFrame(longest);
  EXPECT_EQ(frame.substr(0, 10), std::string("1024") + std::string(6, '\0'));
  EXPECT_EQ(frame.substr(10, 1014), longest);
  EXPECT_EQ(frame.substr(1024), std::string(1024, '\0'));
  EXPECT_THROW(EncodeUrlRequestFrame(std::string(1015, 'x')), EUrlServerError);
}

TEST(UrlReplyPrefix, TheTenCharactersAreReadAsAnInteger) {
  struct Case {
    std::string prefix;
    int32_t value;  // -99 for a conversion failure
  };
  const Case cases[] = {
      {std::string("345") + std::string(7, '\0'), 345},
      {"0000000345", 345},
      {"       345", 345},
      {"      +345", 345},
      {"$000000159", 345},
      {"0000000345<xml>", 345},  // only the first ten count
      {"-000000005", -5},
      {"345       ", -99},
      {"          ", -99},
      {std::string(10, '\0'), -99},
      {"9999999999", -99},
      {"34a5000000", -99},
  };
  for (const auto& c : cases) {
    if (c.value == -99) {
      EXPECT_THROW(DecodeUrlReplyLength(c.prefix), EConvertError) << c.prefix;
    } else {
      EXPECT_EQ(DecodeUrlReplyLength(c.prefix), c.value) << c.prefix;
    }
  }
}

// What the reply handling did, in order: "log:", "error:", "verbose:",
// "put:" (url|dato|docid|type|storage|thumb), "sleep:" (ms), "box:".
class Recorder {
 public:
  TUrlReplyActions Actions() {
    TUrlReplyActions a;
    a.PutUrl = [this](const UrlInfo& p) {
      events.push_back("put:" + p.Url.str() + "|" + p.Dato.str() + "|" + p.DocID.str() + "|" + p.PageType.str() +
                       "|" + p.Storage.str() + "|" + (p.MakeThumbnale ? "T" : "F"));
    };
    a.Log = [this](const std::string& l) { events.push_back("log:" + l); };
    a.ErrorLog = [this](const std::string& l) { events.push_back("error:" + l); };
    a.LogVerbose = [this](const std::string& l) { events.push_back("verbose:" + l); };
    a.Sleep = [this](uint32_t ms) { events.push_back("sleep:" + std::to_string(ms)); };
    a.ShowMessage = [this](const std::string& t) { events.push_back("box:" + t); };
    return a;
  }
  std::vector<std::string> events;
};

struct ReplyCase {
  std::string name;
  std::string reply;
  std::vector<std::string> events;
  std::string raises;  // class name, empty when nothing is raised
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

std::string Root(const std::string& inner) { return "<?xml version=\"1.0\"?><urlserver>" + inner + "</urlserver>"; }

std::string Page(const std::string& type, const std::string& fields) { return "<" + type + ">" + fields + "</" + type + ">"; }

std::string Fields(const std::string& url, const std::string& dato, const std::string& doc, const std::string& storage,
                   const std::string& thumb) {
  return "<url>" + url + "</url><dato>" + dato + "</dato><DocID>" + doc + "</DocID><storage>" + storage +
         "</storage><MakeThumbnale>" + thumb + "</MakeThumbnale>";
}

std::vector<ReplyCase> ReplyCases() {
  const std::string long_url = "http://x/" + std::string(241, 'u');
  const std::string many_nodes = Root("<crawlthis>" + [] {
    std::string s;
    for (int i = 0; i < MaxUrlServerReplyNodes; ++i) s += "<a/>";
    return s;
  }() + "</crawlthis>");
  return {
      {"TwoFullPagesInOrder",
       Root("<crawlthis>" + Page("crawl", Fields("http://a/1", "20041001", "101", "127.0.0.2", "TRUE")) +
            Page("crawl", Fields("http://b/2", "20041002", "102", "127.0.0.3", "TRUE")) + "</crawlthis>"),
       {"log:a crawlthis", "verbose:Legger til: Url: http://a/1 for crawl",
        "put:http://a/1|20041001|101|crawl|127.0.0.2|T", "verbose:Legger til: Url: http://b/2 for crawl",
        "put:http://b/2|20041002|102|crawl|127.0.0.3|T"},
       ""},
      {"APageWithoutUrlIsDroppedOneWithoutStorageQueued",
       Root("<crawlthis>" + Page("crawl", "<url>http://a/</url><DocID>7</DocID>") +
            Page("crawl", "<DocID>8</DocID><storage>s</storage>") + Page("crawl", "<url></url>") + "</crawlthis>"),
       {"log:a crawlthis", "verbose:Legger til: Url: http://a/ for crawl", "put:http://a/||7|crawl||F",
        "verbose:Legger til: Url:  for crawl", "log:Kunne ikke legge til side da den mangler elementer",
        "verbose:Legger til: Url:  for crawl", "log:Kunne ikke legge til side da den mangler elementer"},
       ""},
      {"ThumbnailFlagTakesOnlyUpperCaseWordsAndTheLaterOneWins",
       Root("<crawlthis>" + Page("crawl", "<url>u1</url><MakeThumbnale>true</MakeThumbnale>") +
            Page("crawl", "<url>u2</url><MakeThumbnale>TRUE</MakeThumbnale><MakeThumbnale>maybe</MakeThumbnale>") +
            Page("crawl", "<url>u3</url><MakeThumbnale>TRUE</MakeThumbnale><MakeThumbnale>FALSE</MakeThumbnale>") +
            Page("crawl", "<url>first</url><url>u4</url>") + "</crawlthis>"),
       {"log:a crawlthis", "verbose:Legger til: Url: u1 for crawl", "put:u1|||crawl||F",
        "verbose:Legger til: Url: u2 for crawl", "put:u2|||crawl||T", "verbose:Legger til: Url: u3 for crawl",
        "put:u3|||crawl||F", "verbose:Legger til: Url: u4 for crawl", "put:u4|||crawl||F"},
       ""},
      {"FieldsAreCutToTheirWidthsAndEntitiesDecoded",
       Root("<crawlthis>" +
            Page("robottxt", Fields(long_url, "2004100112345", "1234567890123", "storage.example.org.no", "FALSE")) +
            Page("averyveryLongPageType", "<url>http://a/?x=1&amp;y=&lt;2&gt;</url>") + "</crawlthis>"),
       {"log:a crawlthis", "verbose:Legger til: Url: " + long_url.substr(0, 201) + " for robottxt",
        "put:" + long_url.substr(0, 201) + "|200410011234|123456789012|robottxt|storage.example.org.|F",
        "verbose:Legger til: Url: http://a/?x=1&y=<2> for averyveryLon", "put:http://a/?x=1&y=<2>|||averyveryLon||F"},
       ""},
      {"PopupErrorLogsEveryChildAndShowsEachComment",
       Root("<error><popuperror><title>Notice</title><comment>Please &amp; thanks</comment></popuperror></error>"),
       {"log:a error", "log:Error", "log:title : Notice", "log:comment : Please & thanks", "box:Please & thanks"},
       ""},
      {"GeneralErrorLogsItsCommentAndSleeps",
       Root("<error><generalerror><comment>Server busy</comment><other>x</other><sleep>30</sleep></generalerror>"
            "</error>"),
       {"log:a error", "log:Error", "log:    Comment: Server busy",
        "log:    Will sleep in 30 seconds, then try again.", "sleep:30000"},
       ""},
      {"OnlyTheFirstChildOfAnErrorCounts",
       Root("<error><generalerror><sleep>1</sleep></generalerror><popuperror><comment>no</comment></popuperror>"
            "</error>"),
       {"log:a error", "log:Error", "log:    Will sleep in 1 seconds, then try again.", "sleep:1000"},
       ""},
      {"AnErrorWithoutChildIsLoggedAndSkipped",
       Root("<error></error><error/><crawlthis><crawl><url>u</url></crawl></crawlthis>"),
       {"log:a error", "log:Error", "log:    The error holds no instruction; skipped", "log:a error", "log:Error",
        "log:    The error holds no instruction; skipped", "log:a crawlthis", "verbose:Legger til: Url: u for crawl",
        "put:u|||crawl||F"},
       ""},
      {"ErrorsWithoutInstructionsOrOfUnknownKind",
       Root("<error><generalerror/></error><error><popuperror></popuperror></error><error><other/></error>"),
       {"log:a error", "log:Error", "log:    Will sleep in 0 seconds, then try again.", "sleep:0", "log:a error",
        "log:Error", "log:a error", "log:Error"},
       ""},
      {"OtherRootChildrenAreOnlyNamed", Root("<news>hello</news><!-- note -->"),
       {"log:a news", "log:a Comment"}, ""},
      {"PagesAreQueuedBeforeThePause",
       Root("<crawlthis><crawl><url>u</url></crawl></crawlthis><error><generalerror><sleep>2</sleep>"
            "</generalerror></error>"),
       {"log:a crawlthis", "verbose:Legger til: Url: u for crawl", "put:u|||crawl||F", "log:a error", "log:Error",
        "log:    Will sleep in 2 seconds, then try again.", "sleep:2000"},
       ""},
      {"SleepsOutsideTheirRangeAreClamped",
       Root("<error><generalerror><sleep>-5</sleep></generalerror></error>"
            "<error><generalerror><sleep>2147484</sleep></generalerror></error>"
            "<error><generalerror><sleep>2147483</sleep></generalerror></error>"),
       {"log:a error", "log:Error", "log:    A sleep of -5 seconds is out of range; sleeping 0 seconds",
        "log:    Will sleep in 0 seconds, then try again.", "sleep:0", "log:a error", "log:Error",
        "log:    A sleep of 2147484 seconds is out of range; sleeping 2147483 seconds",
        "log:    Will sleep in 2147483 seconds, then try again.", "sleep:2147483000", "log:a error", "log:Error",
        "log:    Will sleep in 2147483 seconds, then try again.", "sleep:2147483000"},
       ""},
      {"ASleepThatIsNotANumberEndsTheReplyAfterEarlierPages",
       Root("<crawlthis><crawl><url>u</url></crawl></crawlthis><error><generalerror><comment>c</comment>"
            "<sleep>soon</sleep></generalerror></error><news/>"),
       {"log:a crawlthis", "verbose:Legger til: Url: u for crawl", "put:u|||crawl||F", "log:a error", "log:Error",
        "log:    Comment: c"},
       "EConvertError"},
      {"EmptyText", "", {"log:Motok ikke noe XML data"}, ""},
      {"MalformedXmlQueuesNothing", Root("<crawlthis><crawl><url>u</url></crawl>"), {}, "EFilerError"},
      {"TooManyNodesAreRefused", many_nodes,
       {"error:URL server reply refused: more than 100000 nodes", "log:URL server reply refused: more than 100000 nodes"},
       "EUrlServerError"},
      {"TooLargeATextIsRefused", std::string(MaxUrlServerReplySize + 1, ' '),
       {"error:URL server reply refused: 2097153 bytes, more than the limit of 2097152",
        "log:URL server reply refused: 2097153 bytes, more than the limit of 2097152"},
       "EUrlServerError"},
  };
}

class UrlReplyTable : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(UrlReplyTable, HandlesTheReply) {
  const ReplyCase& c = GetParam();
  Recorder rec;
  std::string raised;
  try {
    HandleUrlServerReply(c.reply, rec.Actions());
  } catch (...) {
    raised = CurrentExceptionClassName();
  }
  EXPECT_EQ(raised, c.raises);
  EXPECT_EQ(rec.events, c.events);
}

INSTANTIATE_TEST_SUITE_P(Replies, UrlReplyTable, ::testing::ValuesIn(ReplyCases()),
                         [](const auto& info) { return info.param.name; });

// The engine's binding: pages into the page queue, the pause through the
// engine sleep, the box with the title "Error".
TEST(ParseUrlServerReply, UsesThePageQueueTheEngineSleepAndTheMessageBox) {
  test::FreshEngineState engine_state;
  test::FastSleep fast;
  test::EngineLog log;
  LogProc = log.Proc();
  InitUrlQueue(1500);
  std::vector<std::string> boxes;
  SetMessageBoxHandler([&](const TMessageBoxRequest& box) {
    EXPECT_EQ(box.Type, TMsgDlgType::mtError);
    EXPECT_EQ(box.Buttons, mbAbort | mbRetry);
    boxes.push_back(box.Caption + "|" + box.Text);
    return mbRetry;
  });
  const uint64_t slept = test::FastSleep::RequestedMs();
  ParseUrlServerReply(Root(
      "<crawlthis><crawl><url>http://a/</url><storage>127.0.0.4</storage><MakeThumbnale>TRUE</MakeThumbnale></crawl>"
      "</crawlthis><error><popuperror><comment>Update</comment></popuperror></error>"
      "<error><generalerror><sleep>30</sleep></generalerror></error>"));
  SetMessageBoxHandler(nullptr);

  EXPECT_EQ(boxes, std::vector<std::string>{"Error|Update"});
  EXPECT_GE(test::FastSleep::RequestedMs() - slept, 30000u);
  UrlInfo page;
  ASSERT_TRUE(TryGetUrl(page));
  EXPECT_EQ(page.Url, "http://a/");
  EXPECT_EQ(page.Storage, "127.0.0.4");
  EXPECT_TRUE(page.MakeThumbnale);
  EXPECT_FALSE(TryGetUrl(page));
  EXPECT_TRUE(log.Contains("comment : Update"));
}

// Without a window the box is a line on standard error, answered at once.
TEST(MessageBox, WithoutAWindowTheTextGoesToStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ShowMessageBox({"Please update", "Error", TMsgDlgType::mtError, mbAbort | mbRetry}), mbAbort);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Please update\n");
}

}  // namespace
}  // namespace tov
