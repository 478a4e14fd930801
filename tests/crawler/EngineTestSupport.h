// Captures what the engine hands to its callbacks, for the engine tests.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "crawler/CrawlerEngine.h"
#include "crawler/EngineState.h"
#include "crawler/UrlQueue.h"

namespace tov::test {

// The engine's state as a process begins with it, for the life of a case:
// reset as the case begins and again as it ends, so that neither a value nor
// a callback into the case's fixture reaches the next case. Make it the first
// member of a fixture, and let no engine thread outlive the case (stop the
// engine with StopTestEngine): a reset must not run under a live one.
class FreshEngineState {
 public:
  FreshEngineState() { EngineState.Reset(); }
  ~FreshEngineState() { EngineState.Reset(); }
  FreshEngineState(const FreshEngineState&) = delete;
  FreshEngineState& operator=(const FreshEngineState&) = delete;
};

class EngineLog {
 public:
  void Add(const std::string& line);
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& line) const;
  int CountPrefix(const std::string& prefix) const;
  TLogProc Proc();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

UrlInfo MakePage(const std::string& url, const std::string& type = "crawl");

// Starts the engine with callbacks that record into the given logs and count
// the thread-count reports and the pages reported.
void StartTestEngine(EngineLog& log, EngineLog& errors, std::atomic<int>* heartbeats = nullptr,
                     std::atomic<int>* pages = nullptr);

// Stops the engine and waits until none of its threads can call back into
// the test or touch the engine's state any more: each download thread has
// logged its exit (pages wake those waiting for one) and left the count, and
// the URL fetcher, the sender and the heartbeat have ended. The engine's
// threads free themselves, so only then may a test let go of what its
// callbacks write to, or reset the engine's state. False when that took too
// long: the default leaves room for a hundred threads on a loaded machine
// under a sanitizer, and costs nothing when they end sooner.
bool StopTestEngine(const EngineLog& log, int timeout_ms = 30000);

}  // namespace tov::test
