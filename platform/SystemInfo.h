// Facts about the running system that the monitor reads.
#pragma once

#include <cstdint>

namespace tov {

// The major number of the running kernel's release (6 for "6.1.0-18-amd64");
// 0 when it cannot be read.
uint32_t OsMajorVersion();

}  // namespace tov
