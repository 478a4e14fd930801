#include "crawler/CrawlerThread.h"

#include "crawler/CrawlerEngine.h"

namespace tov {

namespace {

std::mutex g_factory_lock;
TPageProcessorFactory g_factory;

// Without installed page processing a download thread cannot do its work; it
// says so for every page it takes instead of dropping pages quietly.
class TMissingPageProcessor : public TPageProcessor {
 public:
  void ProcessPage(const UrlInfo& page) override {
    CallErrorLogProc("No page processing installed; page not processed: " + page.Url.str());
  }
};

}  // namespace

void SetPageProcessorFactory(TPageProcessorFactory factory) {
  std::lock_guard<std::mutex> lock(g_factory_lock);
  g_factory = std::move(factory);
}

void TCrawlerThread::Execute() {
  int32_t n;
  {
    std::lock_guard<std::mutex> lock(ThreadCountLock);
    n = RunningThreads.fetch_add(1) + 1;
    ThreadsBeingCreated.fetch_sub(1);
  }
  CallLogProc(std::to_string(n) + " started");
  EngineSleep(200u * static_cast<uint32_t>(n));  // threads started together begin one after another

  std::unique_ptr<TPageProcessor> processor;
  try {
    TPageProcessorFactory factory;
    {
      std::lock_guard<std::mutex> lock(g_factory_lock);
      factory = g_factory;
    }
    processor = factory ? factory(*this) : nullptr;
    if (!processor) processor = std::make_unique<TMissingPageProcessor>();
    PageLoop(*processor);
  } catch (...) {
    // The page in hand is lost; the thread still leaves through its exit sequence.
    CallErrorLogProc("Download thread " + std::to_string(ThreadID()) + " ended by " + CurrentExceptionClassName() +
                     ": " + CurrentExceptionMessage());
  }
  processor.reset();
  ExitSequence();
}

void TCrawlerThread::PageLoop(TPageProcessor& processor) {
  while (!StopCrawling && RunningThreads <= WantedThreads) {
    UrlInfo page;
    GetUrl(page);
    processor.ProcessPage(page);
  }
}

void TCrawlerThread::ExitSequence() {
  try {
    CallLogProc("prepering to exiting");
    {
      std::lock_guard<std::mutex> lock(ThreadCountLock);
      RunningThreads.fetch_sub(1);
    }
    CallLogProc("Thread " + std::to_string(ThreadID()) + " exiting");
  } catch (...) {
    CallErrorLogProc("Feil i finaly i MakeThumbnaleTread: " + CurrentExceptionClassName());
  }
}

}  // namespace tov
