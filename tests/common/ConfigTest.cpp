#include "common/Config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <vector>

#include "platform/SysUtils.h"
#include "tests/common/WorkDirDefaults.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

ConfigData Sample() {
  ConfigData c;
  c.UserName = "alice";
  c.UserPassword = "secret";
  c.StartAtStart = true;
  c.CrawlWhenUse = 2;
  c.CrawlWhenIdle = 20;
  c.IdleTimeToChange = 300;
  c.MinimizeToStatusBar = true;
  c.MaxCrawlers = 100;
  c.CrawlerRestartTime = 30;
  c.DedicatedServer = true;
  c.DedicatedServerName = "box1";
  c.TeamName = "team";
  return c;
}

TEST(ConfigRecord, LayoutOffsetsAndPads) {
  auto bytes = EncodeConfig(Sample());
  ASSERT_EQ(bytes.size(), 184u);
  EXPECT_EQ(bytes[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&bytes[1]), 5), "alice");
  EXPECT_EQ(bytes[61], 6);
  EXPECT_EQ(bytes[122], 1);
  EXPECT_EQ(bytes[123], 0);  // pad
  EXPECT_EQ(bytes[124], 2);
  EXPECT_EQ(bytes[128], 20);
  EXPECT_EQ(bytes[132], 300 & 0xFF);
  EXPECT_EQ(bytes[133], 300 >> 8);
  EXPECT_EQ(bytes[136], 1);
  EXPECT_EQ(bytes[140], 100);
  EXPECT_EQ(bytes[144], 30);
  EXPECT_EQ(bytes[148], 1);
  EXPECT_EQ(bytes[149], 4);
  EXPECT_EQ(bytes[160], 4);
  for (int pad : {123, 137, 138, 139, 181, 182, 183}) EXPECT_EQ(bytes[pad], 0) << pad;
  EXPECT_EQ(DecodeConfig(bytes), Sample());
}

TEST(ConfigRecord, LongTextsAreCutToTheirRoom) {
  ConfigData c;
  c.UserName = std::string(70, 'u');
  c.DedicatedServerName = "a-very-long-server-name";
  c.TeamName = std::string(25, 't');
  ConfigData back = DecodeConfig(EncodeConfig(c));
  EXPECT_EQ(back.UserName, std::string(60, 'u'));
  EXPECT_EQ(back.DedicatedServerName, "a-very-lon");
  EXPECT_EQ(back.TeamName, std::string(20, 't'));
}

TEST(ConfigRecord, DamagedLengthBytesStayInsideTheirFields) {
  auto bytes = EncodeConfig(Sample());
  bytes[0] = 255;    // UserName claims 255 bytes
  bytes[149] = 200;  // DedicatedServerName claims 200
  bytes[160] = 21;
  ConfigData c = DecodeConfig(bytes);
  EXPECT_EQ(c.UserName.size(), 60u);
  EXPECT_EQ(c.DedicatedServerName.size(), 10u);
  EXPECT_EQ(c.TeamName.size(), 20u);
  EXPECT_EQ(c.MaxCrawlers, 100);  // the other fields are unaffected
}

TEST(ConfigRecord, EmptyLengthReadsEmptyWhateverTheRoomHolds) {
  auto bytes = EncodeConfig(Sample());
  bytes[0] = 0;
  EXPECT_EQ(DecodeConfig(bytes).UserName, "");
}

// The failure's code; its report goes to why.
int ReadConfigCode(std::string* why = nullptr) {
  try {
    ReadConfig();
  } catch (const EInOutError& e) {
    if (why) *why = ConfigReadFailure();
    return e.ErrorCode();
  }
  return 0;
}

TEST(ReadConfig, FileSizesAndFailures) {
  test::ScopedWorkDir dir;
  std::string why;
  EXPECT_EQ(ReadConfigCode(&why), 2);
  EXPECT_EQ(why, "the settings file Config.bin can't be read (File not found)");

  auto bytes = EncodeConfig(Sample());
  std::string record(reinterpret_cast<char*>(bytes.data()), bytes.size());
  test::WriteFileBytes("Config.bin", record.substr(0, 183));
  EXPECT_EQ(ReadConfigCode(&why), 100);
  EXPECT_EQ(why, "the settings file Config.bin can't be read (Read beyond end of file)");

  test::WriteFileBytes("Config.bin", record);
  EXPECT_EQ(ReadConfigCode(), 0);
  EXPECT_EQ(Config, Sample());

  Config = ConfigData{};
  test::WriteFileBytes("Config.bin", record + "trailing bytes are ignored");
  EXPECT_EQ(ReadConfigCode(), 0);
  EXPECT_EQ(Config, Sample());

  ::chmod("Config.bin", 0444);
  EXPECT_EQ(ReadConfigCode(&why), 5);
  EXPECT_EQ(why, "the settings file Config.bin can't be read (File access denied)");
}

// The scripts write Config.bin through scripts/records/config_record.py; the
// programs must read exactly what it means.
struct ScriptRun {
  int code = -1;
  std::string out;
};

std::string ShellQuoted(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs <source root>/<script> with args; its exit code and standard output.
ScriptRun RunScript(const std::string& script, const std::vector<std::string>& args) {
  std::string command = ShellQuoted(test::SourceRoot() + "/" + script);
  for (const std::string& arg : args) command += " " + ShellQuoted(arg);
  ScriptRun run;
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) return run;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
  const int status = ::pclose(p);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ScriptRun SetFields(const std::vector<std::string>& assignments) {
  std::vector<std::string> args{"Config.bin"};
  args.insert(args.end(), assignments.begin(), assignments.end());
  return RunScript("scripts/records/config_record.py", args);
}

void ExpectFields(const ConfigData& got, const ConfigData& want) {
  EXPECT_EQ(got.UserName, want.UserName);
  EXPECT_EQ(got.UserPassword, want.UserPassword);
  EXPECT_EQ(got.StartAtStart, want.StartAtStart);
  EXPECT_EQ(got.CrawlWhenUse, want.CrawlWhenUse);
  EXPECT_EQ(got.CrawlWhenIdle, want.CrawlWhenIdle);
  EXPECT_EQ(got.IdleTimeToChange, want.IdleTimeToChange);
  EXPECT_EQ(got.MinimizeToStatusBar, want.MinimizeToStatusBar);
  EXPECT_EQ(got.MaxCrawlers, want.MaxCrawlers);
  EXPECT_EQ(got.CrawlerRestartTime, want.CrawlerRestartTime);
  EXPECT_EQ(got.DedicatedServer, want.DedicatedServer);
  EXPECT_EQ(got.DedicatedServerName, want.DedicatedServerName);
  EXPECT_EQ(got.TeamName, want.TeamName);
}

std::string Encoded(const ConfigData& c) {
  auto bytes = EncodeConfig(c);
  return std::string(bytes.begin(), bytes.end());
}

TEST(ConfigScripts, ReadConfigReadsTheWorkDirectoryDefaults) {
  test::ScopedWorkDir dir;
  ASSERT_EQ(RunScript("scripts/prepare-workdir.sh", {dir.Path()}).code, 0);
  ASSERT_EQ(ReadConfigCode(), 0);
  const ConfigData defaults = test::WorkDirDefaults();
  ExpectFields(Config, defaults);
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), Encoded(defaults));
}

TEST(ConfigScripts, EveryFieldLandsWhereReadConfigLooks) {
  test::ScopedWorkDir dir;
  const std::string name = std::string(59, 'u') + "\xF8";  // the full room, the last a Windows-1252 letter
  ASSERT_EQ(SetFields({"UserName=" + name, "UserPassword=p\xE5ss", "StartAtStart=1", "CrawlWhenUse=3",
                       "CrawlWhenIdle=70000", "IdleTimeToChange=-1", "MinimizeToStatusBar=true",
                       "MaxCrawlers=2147483647", "CrawlerRestartTime=-2147483648", "DedicatedServer=1",
                       "DedicatedServerName=server-name-cut", "TeamName=" + std::string(25, 't')})
                .code,
            0);
  ConfigData want;
  want.UserName = name;
  want.UserPassword = "p\xE5ss";
  want.StartAtStart = true;
  want.CrawlWhenUse = 3;
  want.CrawlWhenIdle = 70000;
  want.IdleTimeToChange = -1;
  want.MinimizeToStatusBar = true;
  want.MaxCrawlers = 2147483647;
  want.CrawlerRestartTime = INT32_MIN;
  want.DedicatedServer = true;
  want.DedicatedServerName = "server-nam";
  want.TeamName = std::string(20, 't');
  ASSERT_EQ(ReadConfigCode(), 0);
  ExpectFields(Config, want);
  // Pads zero and true stored as 1: the very bytes the settings writer makes.
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), Encoded(want));

  // Setting some fields keeps the others, as the demo and the fault suite expect.
  ASSERT_EQ(SetFields({"TeamName=Beta", "StartAtStart=0"}).code, 0);
  want.TeamName = "Beta";
  want.StartAtStart = false;
  ASSERT_EQ(ReadConfigCode(), 0);
  ExpectFields(Config, want);

  EXPECT_NE(SetFields({"NoSuchField=1"}).code, 0);
  EXPECT_NE(SetFields({"MaxCrawlers=many"}).code, 0);
  EXPECT_NE(SetFields({"MaxCrawlers=2147483648"}).code, 0);
  EXPECT_EQ(test::ReadFileBytes("Config.bin"), Encoded(want));
}

TEST(ConfigScripts, TheScriptsReadWhatTheProgramsWrite) {
  test::ScopedWorkDir dir;
  ConfigData c = Sample();
  c.UserName = "\xE5se\x81";  // 0x81 has no letter in Windows-1252 and still comes back as it was
  c.TeamName = std::string(20, 't');
  std::string bytes = Encoded(c);
  bytes[160] = '\xFF';  // a damaged length byte stays inside its field
  test::WriteFileBytes("Config.bin", bytes);
  const ScriptRun run = SetFields({});
  ASSERT_EQ(run.code, 0);
  EXPECT_EQ(run.out,
            "UserName=\xE5se\x81\nUserPassword=secret\nStartAtStart=1\nCrawlWhenUse=2\nCrawlWhenIdle=20\n"
            "IdleTimeToChange=300\nMinimizeToStatusBar=1\nMaxCrawlers=100\nCrawlerRestartTime=30\n"
            "DedicatedServer=1\nDedicatedServerName=box1\nTeamName=" +
                std::string(20, 't') + "\n");

  test::WriteFileBytes("Config.bin", bytes.substr(0, 183));
  EXPECT_NE(SetFields({}).code, 0);
}

}  // namespace
}  // namespace tov
