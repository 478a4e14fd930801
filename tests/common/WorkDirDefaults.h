// The settings scripts/prepare-workdir.sh writes into a new work directory.
#pragma once

#include "common/Config.h"

namespace tov::test {

inline ConfigData WorkDirDefaults() {
  ConfigData defaults;
  defaults.CrawlWhenUse = 2;
  defaults.CrawlWhenIdle = 10;
  defaults.IdleTimeToChange = 300;
  defaults.MinimizeToStatusBar = true;
  defaults.MaxCrawlers = 20;
  return defaults;
}

}  // namespace tov::test
