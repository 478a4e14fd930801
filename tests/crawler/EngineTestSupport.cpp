#include "tests/crawler/EngineTestSupport.h"

#include "crawler/StorageSender.h"
#include "crawler/UrlServerExchange.h"
#include "tests/support/TestSupport.h"

namespace tov::test {

void EngineLog::Add(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
}

std::vector<std::string> EngineLog::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool EngineLog::Contains(const std::string& line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& l : lines_) {
    if (l == line) return true;
  }
  return false;
}

int EngineLog::CountPrefix(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& l : lines_) {
    if (l.rfind(prefix, 0) == 0) ++n;
  }
  return n;
}

TLogProc EngineLog::Proc() {
  return [this](const std::string& line) { Add(line); };
}

UrlInfo MakePage(const std::string& url, const std::string& type) {
  UrlInfo info;
  info.Url = url;
  info.PageType = type;
  info.DocID = "doc";
  info.Storage = "127.0.0.2";
  info.Dato = "2026-12-10";
  return info;
}

void StartTestEngine(EngineLog& log, EngineLog& errors, std::atomic<int>* heartbeats, std::atomic<int>* pages) {
  StartCrawler(
      log.Proc(), "0.82", [](const std::string&) {}, nullptr,
      [pages](uint8_t) {
        if (pages) ++*pages;
      },
      errors.Proc(), [] {},
      [heartbeats] {
        if (heartbeats) ++*heartbeats;
      },
      false, "");
}

bool StopTestEngine(const EngineLog& log, int timeout_ms) {
  StopCrawling = true;
  return WaitUntil(
      [&] {
        // A download thread's exit line is the last it hands to a callback.
        if (log.CountPrefix("Creating thread nr: ") != log.CountPrefix("Thread ")) {
          if (UrlQueueCount() < 10) PutUrl(MakePage("wake"));
          return false;
        }
        // Its last step, after that line, is to leave the count.
        if (RunningThreadCount() != 0 || ThreadsBeingCreated != 0) return false;
        return HentUrlerFraUrlserver.load() == nullptr && SentTilLagringserver.load() == nullptr &&
               HartPipThread.load() == nullptr;
      },
      timeout_ms);
}

}  // namespace tov::test
