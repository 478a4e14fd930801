#include "platform/SystemInfo.h"

#include <sys/utsname.h>

#include <cctype>

namespace tov {

uint32_t OsMajorVersion() {
  utsname name{};
  if (::uname(&name) != 0) return 0;
  uint32_t major = 0;
  for (const char* p = name.release; std::isdigit(static_cast<unsigned char>(*p)) && major < 100000; ++p) {
    major = major * 10 + static_cast<uint32_t>(*p - '0');
  }
  return major;
}

}  // namespace tov
