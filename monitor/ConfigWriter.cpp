#include "monitor/ConfigWriter.h"

#include "common/Config.h"
#include "platform/Files.h"

namespace tov {

void WriteConfig() {
  const auto record = EncodeConfig(Config);
  ReplaceFileContents("Config.bin", record.data(), record.size());
}

}  // namespace tov
