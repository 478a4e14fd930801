// A download thread: takes page records from the page queue one at a time and
// hands each to the page processing, until the engine stops or more threads run
// than are wanted. Started only by SetCrawlers; frees itself when it ends.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "crawler/UrlQueue.h"
#include "platform/Threads.h"

namespace tov {

class TCrawlerThread;

// What a download thread does with one page it took from the queue. One is
// made per thread when the thread starts and lives until it ends.
class TPageProcessor {
 public:
  virtual ~TPageProcessor() = default;
  virtual void ProcessPage(const UrlInfo& page) = 0;
};

using TPageProcessorFactory = std::function<std::unique_ptr<TPageProcessor>(TCrawlerThread& thread)>;

// Installs the page processing that new download threads use. Set before
// SetCrawlers starts threads.
void SetPageProcessorFactory(TPageProcessorFactory factory);

class TCrawlerThread : public TThread {
 public:
  TCrawlerThread() = default;

 protected:
  void Execute() override;

 private:
  void PageLoop(TPageProcessor& processor);
  void ExitSequence();
};

}  // namespace tov
