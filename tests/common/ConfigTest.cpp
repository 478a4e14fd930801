#include "common/Config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/SysUtils.h"
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

}  // namespace
}  // namespace tov
