#include "common/ErrorLog.h"

#include <locale.h>
#include <time.h>

#include <cstdio>
#include <mutex>

#include "platform/Files.h"
#include "platform/Threads.h"

namespace tov {

namespace {

constexpr const char* kLogFileName = "ErrorLog.txt";

locale_t TimeLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (l == static_cast<locale_t>(nullptr)) l = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
    return l;
  }();
  return loc;
}

std::string FormatNow(const char* format) {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char buf[128];
  size_t n = strftime_l(buf, sizeof buf, format, &local, TimeLocale());
  return std::string(buf, n);
}

}  // namespace

std::string ErrorLogStamp() {
  std::string time_text = FormatNow("%X");  // the long time format, with seconds
  std::string date_text = FormatNow("%x");  // the short date format
  return time_text + " " + date_text + ": ";
}

void WriteErrorLog(std::string_view msg) {
  // Never destroyed: a thread may still log while the process ends (the
  // monitor's reaper of a crawler that has just ended, say).
  static auto* serialise = new std::mutex;
  std::lock_guard<std::mutex> guard(*serialise);

  std::string line = ErrorLogStamp();
  line.append(msg);
  line.append("\r\n");
  try {
    TFile file = TFile::OpenAppend(kLogFileName);
    // The other program may be appending at this moment: wait a little for
    // it, then fail as a file held by another writer does.
    bool locked = file.TryLockExclusive();
    for (int i = 0; !locked && i < 50; ++i) {
      RealSleep(5);
      locked = file.TryLockExclusive();
    }
    if (!locked) throw EInOutError(32);
    const int64_t end = file.Size();
    try {
      file.Write(line);  // one write, so a line never interleaves with another's
    } catch (...) {
      // Safeguard: partial log line cut.
      // A full disk may take part of the line: the next line must not
      // follow a torn one.
      try {
        file.Truncate(end);
      } catch (...) {
      }
      throw;
    }
    file.Close();
  } catch (...) {
    // Safeguard: log line fallback.
    // A line the file cannot take (full disk, read-only file) still reaches
    // whoever reads the program's standard error.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    throw;
  }
}

}  // namespace tov
