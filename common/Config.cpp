#include "common/Config.h"

#include "platform/ByteCodec.h"
#include "platform/Files.h"

namespace tov {

ConfigData Config;

std::array<uint8_t, ConfigData::kSize> EncodeConfig(const ConfigData& c) {
  std::array<uint8_t, ConfigData::kSize> out{};
  ByteWriter w(out);
  w.PutShortString(c.UserName, 60);
  w.PutShortString(c.UserPassword, 60);
  w.PutBool(c.StartAtStart);
  w.PutZeros(1);
  w.PutI32(c.CrawlWhenUse);
  w.PutI32(c.CrawlWhenIdle);
  w.PutI32(c.IdleTimeToChange);
  w.PutBool(c.MinimizeToStatusBar);
  w.PutZeros(3);
  w.PutI32(c.MaxCrawlers);
  w.PutI32(c.CrawlerRestartTime);
  w.PutBool(c.DedicatedServer);
  w.PutShortString(c.DedicatedServerName, 10);
  w.PutShortString(c.TeamName, 20);
  w.PutZeros(3);
  return out;
}

ConfigData DecodeConfig(std::span<const uint8_t> bytes) {
  if (bytes.size() < ConfigData::kSize) throw EInOutError(100);
  ByteReader r(bytes.first(ConfigData::kSize));
  ConfigData c;
  c.UserName = r.GetShortString(60);
  c.UserPassword = r.GetShortString(60);
  c.StartAtStart = r.GetBool();
  r.Skip(1);
  c.CrawlWhenUse = r.GetI32();
  c.CrawlWhenIdle = r.GetI32();
  c.IdleTimeToChange = r.GetI32();
  c.MinimizeToStatusBar = r.GetBool();
  r.Skip(3);
  c.MaxCrawlers = r.GetI32();
  c.CrawlerRestartTime = r.GetI32();
  c.DedicatedServer = r.GetBool();
  c.DedicatedServerName = r.GetShortString(10);
  c.TeamName = r.GetShortString(20);
  return c;
}

namespace {
constexpr const char* kConfigFileName = "Config.bin";
}  // namespace

void ReadConfig() {
  TFile file = TFile::OpenExisting(kConfigFileName, TFile::Mode::ReadWrite);
  std::array<uint8_t, ConfigData::kSize> record{};
  file.ReadExact(record.data(), record.size());
  file.Close();
  Config = DecodeConfig(record);
}

// Safeguard: settings failure named.
std::string ConfigReadFailure() {
  std::string why = CurrentExceptionMessage();
  if (why.empty()) why = CurrentExceptionClassName();
  return std::string("the settings file ") + kConfigFileName + " can't be read (" + why + ")";
}

}  // namespace tov
