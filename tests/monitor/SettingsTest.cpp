// The monitor's settings writer, its account-server requests (against the
// stand-in account server in the test's private network namespace) and the
// memory-information lines, without a window.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "common/Config.h"
#include "common/SharedGlobals.h"
#include "monitor/AccountRequest.h"
#include "monitor/ConfigWriter.h"
#include "monitor/MemInfoLines.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "tests/monitor/AccountServerStandIn.h"
#include "tests/monitor/SettingsSample.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

const std::string kBoxPrefix =
    "Sorry, cant`t connect to the Tovrane server. Please check that you are connectet to the internet. "
    "Error returnd: ";

std::string Bytes(const std::array<uint8_t, ConfigData::kSize>& record) { return std::string(record.begin(), record.end()); }

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

ConfigData Sample() { return test::SampleSettings(); }

// ---- Config.bin writer ----

class WriteConfigTest : public ::testing::Test {
 protected:
  void WriteOld(const std::string& bytes, mode_t mode = 0644) {
    test::WriteFileBytes("Config.bin", bytes);
    ::chmod("Config.bin", mode);
  }
  static int WriteCode() {
    try {
      WriteConfig();
    } catch (const EInOutError& e) {
      return e.ErrorCode();
    }
    return 0;
  }
  test::ScopedWorkDir dir_;
  std::string old_ = std::string(184, 'o');
};

TEST_F(WriteConfigTest, RecordRoundTripsThroughTheReader) {
  Config = Sample();
  Config.UserName = std::string(70, 'u');                // longer than its 60
  Config.UserPassword = "p\xE6ss\xF8rd";                // Windows-1252 bytes stay bytes
  Config.DedicatedServerName = "server-name-too-long";  // longer than its 10
  Config.TeamName = std::string(25, 't');                // longer than its 20
  ASSERT_EQ(WriteCode(), 0);
  const std::string file = test::ReadFileBytes("Config.bin");
  ASSERT_EQ(file.size(), 184u);
  EXPECT_EQ(file, Bytes(EncodeConfig(Config)));
  for (int pad : {123, 137, 138, 139, 181, 182, 183}) EXPECT_EQ(file[pad], 0) << "pad byte " << pad;
  EXPECT_EQ(file[0], 60);
  EXPECT_EQ(file[149], 10);
  EXPECT_EQ(file[160], 20);

  ConfigData written = Config;
  Config = ConfigData{};
  ReadConfig();
  EXPECT_EQ(Config.UserName, std::string(60, 'u'));
  EXPECT_EQ(Config.UserPassword, "p\xE6ss\xF8rd");
  EXPECT_EQ(Config.DedicatedServerName, "server-nam");
  EXPECT_EQ(Config.TeamName, std::string(20, 't'));
  written.UserName.resize(60);
  written.DedicatedServerName.resize(10);
  written.TeamName.resize(20);
  EXPECT_EQ(Config, written);
}

TEST_F(WriteConfigTest, ReplacesTheOldFileWholeKeepingItsModeAndLeavesNothingBeside) {
  WriteOld(old_ + "trailing bytes of an older writer", 0600);
  test::WriteFileBytes("Config.bin.new", "left by a crash");
  Config = Sample();
  ASSERT_EQ(WriteCode(), 0);
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), Bytes(EncodeConfig(Sample())));
  EXPECT_EQ(ModeOf("Config.bin"), 0600u);
  EXPECT_FALSE(FileExists("Config.bin.new"));
  // The crawler's reader opens it for reading and writing: that still works.
  Config = ConfigData{};
  ReadConfig();
  EXPECT_EQ(Config, Sample());
}

TEST_F(WriteConfigTest, ANewFileIsTheUsersAloneWhateverTheUmaskAndAnOldOneKeepsItsMode) {
  test::ScopedUmask open_umask(0);
  Config = Sample();
  ASSERT_EQ(WriteCode(), 0);
  // Config.bin.new became this file by its rename.
  EXPECT_EQ(ModeOf("Config.bin"), 0600u);
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), Bytes(EncodeConfig(Sample())));

  ASSERT_EQ(::chmod("Config.bin", 0640), 0);
  ASSERT_EQ(WriteCode(), 0);
  EXPECT_EQ(ModeOf("Config.bin"), 0640u);
}

TEST_F(WriteConfigTest, ALinkStaysAndItsTargetGetsTheRecord) {
  ::mkdir("real", 0755);
  test::WriteFileBytes("real/settings.bin", old_);
  ASSERT_EQ(::symlink("real/settings.bin", "Config.bin"), 0);
  Config = Sample();
  ASSERT_EQ(WriteCode(), 0);
  struct stat st {};
  ASSERT_EQ(::lstat("Config.bin", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(test::ReadFileBytes("real/settings.bin"), Bytes(EncodeConfig(Sample())));
}

TEST_F(WriteConfigTest, AReadOnlyFileIsNotReplaced) {
  WriteOld(old_, 0444);
  Config = Sample();
  EXPECT_EQ(WriteCode(), 5);
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), old_);
  EXPECT_EQ(ModeOf("Config.bin"), 0444u);
  EXPECT_FALSE(FileExists("Config.bin.new"));
}

TEST_F(WriteConfigTest, AWriteThatFailsHalfwayLeavesTheOldFile) {
  WriteOld(old_);
  Config = Sample();
  // A disk that takes 100 bytes and no more.
  struct rlimit saved {};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  int code = WriteCode();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_NE(code, 0);
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), old_);
  EXPECT_FALSE(FileExists("Config.bin.new"));
}

TEST_F(WriteConfigTest, AWriteIntoADirectoryThatCannotHoldTheNewFileFails) {
  WriteOld(old_);
  ::mkdir("Config.bin.new", 0755);  // the new file cannot be made
  test::WriteFileBytes("Config.bin.new/inside", "x");
  Config = Sample();
  EXPECT_NE(WriteCode(), 0);
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), old_);
  EXPECT_TRUE(DirectoryExists("Config.bin.new"));  // not ours to remove
}

// ---- Query texts ----

TEST(AccountQueries, ValuesAreEncodedSoTheyCannotAddPairs) {
  struct Case {
    std::string value;
    std::string encoded;
  };
  const Case cases[] = {
      {"alice", "alice"},
      {"A-Z_a.z~09", "A-Z_a.z~09"},
      {"a&b", "a%26b"},
      {"x=1", "x%3D1"},
      {"no#frag", "no%23frag"},
      {"one+two", "one%2Btwo"},
      {"two words", "two%20words"},
      {"100%", "100%25"},
      {"me@host.org", "me%40host.org"},
      {"Bj\xF8rn \xE5", "Bj%F8rn%20%E5"},  // Windows-1252 bytes
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeQueryValue(c.value), c.encoded) << c.value;

  EXPECT_EQ(AddUserQuery("u", "e", "p"), "query=adduser&username=u&email=e&password=p");
  EXPECT_EQ(AddToGroupQuery("team", "u"), "query=addtogroup&groupname=team&username=u");
  EXPECT_EQ(AddUserQuery("a&password=x", "e=f", "#p+"),
            "query=adduser&username=a%26password%3Dx&email=e%3Df&password=%23p%2B");
}

TEST(AccountQueries, TheUrlIsTheServerAQuestionMarkAndTheQuery) {
  EXPECT_EQ(AccountRequestUrl("query=adduser&username=a%26b"),
            std::string(AccountServerURL) + "?query=adduser&username=a%26b");
  // Bytes that may not stand in a URL are encoded; what may stays.
  EXPECT_EQ(AccountRequestUrl("a b\x01\xFF\"<>"), std::string(AccountServerURL) + "?a%20b%01%FF%22%3C%3E");
}

TEST(AccountQueries, TheLoggedUrlShowsEveryPasswordAsStarsAndAllElseAsItWas) {
  const std::string base = std::string(AccountServerURL) + "?";
  struct Case {
    std::string query;
    std::string logged;
  };
  const Case cases[] = {
      {AddUserQuery("u", "e", "secret"), "query=adduser&username=u&email=e&password=***"},
      {AddUserQuery("a&password=x", "e=f", "#p+"), "query=adduser&username=a%26password%3Dx&email=e%3Df&password=***"},
      {AddUserQuery("u", "e", ""), "query=adduser&username=u&email=e&password=***"},
      {"password=a&password=b&x=1", "password=***&password=***&x=1"},
      {"oldpassword=a&password2=b&passwordx", "oldpassword=a&password2=b&passwordx"},
      {"password=a#password=b", "password=***#password=b"},
      {AddToGroupQuery("team", "u"), AddToGroupQuery("team", "u")},
      {"", ""},
      {"a=1&", "a=1&"},
  };
  for (const Case& c : cases) EXPECT_EQ(AccountUrlForLog(base + c.query), base + c.logged) << c.query;
  EXPECT_EQ(AccountUrlForLog("http://host/password=x"), "http://host/password=x");
}

// ---- Requests to the stand-in account server ----

class AccountRequestTest : public ::testing::Test {
 protected:
  AccountRequestTest() {
    SetMessageBoxHandler([this](const TMessageBoxRequest& r) {
      boxes_.push_back(r.Text);
      return mbOK;
    });
  }
  ~AccountRequestTest() override { SetMessageBoxHandler(nullptr); }
  void SetUp() override {
    if (!test::StandInAccountServer::Playable()) GTEST_SKIP() << "AccountServerURL is not on loopback";
  }
  static std::vector<std::string> Log() {
    return FileExists("ErrorLog.txt") ? test::ErrorLogMessages() : std::vector<std::string>{};
  }

  test::ScopedWorkDir dir_;
  std::vector<std::string> boxes_;
};

TEST_F(AccountRequestTest, AnAccountRequestSendsTheTypedValuesAndLogsUrlAndReply) {
  test::StandInAccountServer server({R"({"status": 200, "body": "user created"})"});
  ASSERT_TRUE(server.Ready());
  const std::string user = "Bj\xF8rn&password=evil";
  const std::string email = "b+1@host.org";
  const std::string password = "p=w#d x";
  const std::string query = AddUserQuery(user, email, password);
  EXPECT_TRUE(SendAccountRequest(query));
  EXPECT_TRUE(boxes_.empty());

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.Method, "GET");
  EXPECT_EQ(r.Version, "HTTP/1.1");
  EXPECT_EQ(r.Path, "/cgi-bin/dc/dcQuery.cgi");
  EXPECT_EQ(r.Query, query);
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(r.Pairs(), (Pairs{{"query", "adduser"}, {"username", user}, {"email", email}, {"password", password}}));
  EXPECT_EQ(r.Headers.at("User-Agent"), "tovrane-createuser");
  EXPECT_EQ(r.Headers.at("Accept"), "text/html, */*");
  EXPECT_EQ(r.Headers.count("Content-Length"), 0u);

  // The password's value stays out of the log.
  EXPECT_EQ(Log(), (std::vector<std::string>{std::string(AccountServerURL) + "?" +
                                                 AddUserQuery(user, email, "").append("***"),
                                             "user created"}));
  for (const std::string& line : Log()) EXPECT_EQ(line.find("p%3Dw"), std::string::npos) << line;
}

TEST_F(AccountRequestTest, AnAnswerThatIsNoSuccessShowsItsStatusLineAndLogsNothing) {
  struct Case {
    std::string step;
    std::string shown;  // after "Error returnd: "
  };
  const Case cases[] = {
      {R"({"status": 500, "reason": "Internal Server Error", "body": "broken"})", "HTTP/1.1 500 Internal Server Error"},
      {R"({"status": 404, "reason": "Not Found"})", "HTTP/1.1 404 Not Found"},
      // Not followed: one request only.
      {R"({"status": 302, "reason": "Found", "headers": {"Location": "/elsewhere"}})", "HTTP/1.1 302 Found"},
      {R"({"close": true})", ""},
  };
  std::vector<std::string> steps;
  for (const Case& c : cases) steps.push_back(c.step);
  test::StandInAccountServer server(steps);
  ASSERT_TRUE(server.Ready());
  for (const Case& c : cases) {
    boxes_.clear();
    EXPECT_FALSE(SendAccountRequest(AddToGroupQuery("team", "u"))) << c.step;
    EXPECT_EQ(boxes_, std::vector<std::string>{kBoxPrefix + c.shown}) << c.step;
  }
  EXPECT_EQ(server.Requests().size(), std::size(cases));
  EXPECT_TRUE(Log().empty());
}

TEST_F(AccountRequestTest, AnUnreachableServerShowsNothingAfterTheErrorText) {
  // Nothing listens in this network namespace.
  EXPECT_FALSE(SendAccountRequest(AddUserQuery("u", "e", "p")));
  EXPECT_EQ(boxes_, std::vector<std::string>{kBoxPrefix});
  EXPECT_TRUE(Log().empty());
}

// ---- Memory-information lines ----

TEST(MemInfoLines, TwelveLabelledFiguresInOrder) {
  const char* labels[] = {"TotalAddrSpace", "TotalUncommitted", "TotalCommitted", "TotalAllocated",
                          "TotalFree",      "FreeSmall",        "FreeBig",        "Unused",
                          "Overhead",       "HeapErrorCode",    "AllocMemSize",   "AllocMemCount"};
  static_assert(std::size(labels) == kMemInfoLineCount);
  for (int i = 0; i < kMemInfoLineCount; ++i) {
    const std::string line = MemInfoLine(i);
    EXPECT_TRUE(std::regex_match(line, std::regex(std::string(labels[i]) + " [0-9]+"))) << line;
  }
}

TEST(MemInfoLines, AllocMemCountCountsTheBlocksHeld) {
  constexpr int kBlocks = 1000;
  constexpr int64_t kSlack = 50;  // what the test's own machinery may hold meanwhile
  auto shown = [] {
    const std::string line = MemInfoLine(kMemInfoLineCount - 1);
    return std::stoll(line.substr(line.find(' ') + 1));
  };
  std::vector<std::unique_ptr<int>> blocks;
  blocks.reserve(kBlocks);
  const int64_t before = shown();
  for (int i = 0; i < kBlocks; ++i) blocks.push_back(std::make_unique<int>(i));
  const int64_t holding = shown();
  EXPECT_GE(holding - before, kBlocks);
  EXPECT_LE(holding - before, kBlocks + kSlack);
  blocks.clear();
  EXPECT_LE(std::abs(shown() - before), kSlack);
}

}  // namespace
}  // namespace tov
