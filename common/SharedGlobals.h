// Compiled-in values that both programs share: server ports, the longest page
// body the crawler keeps, and the server addresses (build settings).
#pragma once

#include <cstdint>

#include "common/BuildSettings.h"

namespace tov {

constexpr int32_t StoragePort = 8080;
constexpr int32_t UrlServerPort = 8080;
constexpr int32_t MaxHtmlSize = 5242880;
constexpr const char* UrlServerHost = TOV_URL_SERVER_HOST;
constexpr const char* AccountServerURL = TOV_ACCOUNT_SERVER_URL;

// The version both programs report.
constexpr const char* AppVersionText = "0.82";

}  // namespace tov
