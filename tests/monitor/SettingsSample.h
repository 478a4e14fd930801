// The settings the monitor's dialog and writer tests start from.
#pragma once

#include "common/Config.h"

namespace tov::test {

inline ConfigData SampleSettings() {
  return ConfigData{.UserName = "alice",
                    .UserPassword = "secret",
                    .StartAtStart = true,
                    .CrawlWhenUse = 2,
                    .CrawlWhenIdle = 20,
                    .IdleTimeToChange = 600,
                    .MinimizeToStatusBar = false,
                    .MaxCrawlers = 40,
                    .CrawlerRestartTime = 90,
                    .DedicatedServer = false,
                    .DedicatedServerName = "box1",
                    .TeamName = "Alpha"};
}

}  // namespace tov::test
