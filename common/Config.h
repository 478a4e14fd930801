// The participant's settings: one 184-byte record that is the whole of
// Config.bin. The monitor writes it; both programs read it into `Config`.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tov {

struct ConfigData {
  static constexpr size_t kSize = 184;

  std::string UserName;             // string[60] at 0
  std::string UserPassword;         // string[60] at 61
  bool StartAtStart = false;        // 122
  int32_t CrawlWhenUse = 0;         // 124: threads while the user works
  int32_t CrawlWhenIdle = 0;        // 128: threads once the user is idle
  int32_t IdleTimeToChange = 0;     // 132: seconds without input before the switch
  bool MinimizeToStatusBar = false; // 136
  int32_t MaxCrawlers = 0;          // 140: top of the monitor's track bar
  int32_t CrawlerRestartTime = 0;   // 144: minutes; 0 = never
  bool DedicatedServer = false;     // 148
  std::string DedicatedServerName;  // string[10] at 149
  std::string TeamName;             // string[20] at 160

  bool operator==(const ConfigData&) const = default;
};

// The record as laid out in Config.bin: little-endian, 32-bit fields on 4-byte
// boundaries, pad bytes zero, texts cut to their room, true stored as 1.
std::array<uint8_t, ConfigData::kSize> EncodeConfig(const ConfigData& config);
// Reads the first 184 bytes. A length byte above its field's room is clamped,
// so no text reads outside its field. Raises EInOutError(100) when shorter.
ConfigData DecodeConfig(std::span<const uint8_t> bytes);

// This process's settings; zero at start, replaced whole by each ReadConfig.
extern ConfigData Config;

// Fills Config from Config.bin in the current directory. The file is opened for
// reading and writing, so a missing file gives "File not found", a read-only one
// "File access denied" and a short one "Read beyond end of file" (EInOutError).
void ReadConfig();

// What went wrong in ReadConfig, for the line that reports it: "the settings
// file Config.bin can't be read (File not found)". Call it in the handler of
// ReadConfig's error.
std::string ConfigReadFailure();

}  // namespace tov
