#include "crawler/CloseAllThreads.h"

#include <atomic>
#include <string>

#include "crawler/CrawlerEngine.h"
#include "crawler/EngineState.h"
#include "crawler/UrlQueue.h"
#include "platform/SysUtils.h"

namespace tov {

namespace {

std::string WaitedText(int i) { return std::to_string(i) + " sec (of max " + std::to_string(CloseWaitSeconds); }

// Polls once a second while busy() holds, at most CloseWaitSeconds times,
// logging line(i) before each sleep.
template <class Busy, class Line>
void WaitWhile(Busy busy, Line line) {
  for (int i = 0; busy() && i < CloseWaitSeconds; ++i) {
    CallLogProc(line(i));
    EngineSleep(1000);
  }
}

}  // namespace

void StopCrawler() {
  StopCrawling = true;
  CallLogProc("Closeing crawler threads");
  CloseAllThreads();
}

void CloseAllThreads() {
  CallLogProc("start CloseAllThreads");
  if (!EngineState.ClosingStarted.exchange(true)) {
    auto* thread = new TCloseAllThreads;
    thread->SetFreeOnTerminate(true);
    CloseAllThreadsThread = thread;
    thread->Resume();  // from here on the thread owns itself
  }
  CallLogProc("end CloseAllThreads");
}

TCloseAllThreads::~TCloseAllThreads() {
  TCloseAllThreads* self = this;
  CloseAllThreadsThread.compare_exchange_strong(self, nullptr);
}

void TCloseAllThreads::Execute() {
  CallLogProc("CloseAllThreads Execute");
  WantedThreads = 0;  // every download thread leaves after its current page
  CallLogProc("venter p\xE5 at tr\xE5" "dene skal d\xF8");
  WaitWhile([] { return RunningThreadCount() != 0; },
            [](int i) {
              return "Waiting for " + std::to_string(RunningThreadCount()) + " tread(s) to exit, have waited " +
                     WaitedText(i) + ").";
            });
  CallLogProc("Al thread closed niceely");
  CallLogProc("nilling");
  CallLogProc("seting treaths number");
  {
    // Threads that did not end in time are abandoned; the process ends around them.
    std::lock_guard<std::mutex> lock(ThreadCountLock);
    RunningThreads = 0;
  }
  CallLogProc("CrawlerThreadClose finish");
  WaitWhile([] { return SendingInProgres.load(); },
            [](int i) { return "Waiting for sending to end. Have waited " + WaitedText(i); });
  WaitWhile([] { return ResivingInProgres.load(); },
            [](int i) { return "Waiting for reading to end. Have waited " + WaitedText(i); });
  if (SendingInProgres) CallErrorLogProc("SendingInProgres whiled exit");
  if (ResivingInProgres) CallErrorLogProc("ResivingInProgres whiled exit");

  CallLogProc("Saving queues");
  try {
    SaveUrlQueue();
  } catch (...) {
    // Staying up with every loop stopped helps nobody: the pages still in the
    // queue are lost, which the log says, and the process ends all the same.
    const std::string why = CurrentExceptionMessage();
    CallErrorLogProc("Cant save SideFile.dat, the queued pages are lost: " + CurrentExceptionClassName() + ": " + why);
    // Safeguard: lost pages named. Each page the failed save left in the queue is named, as the full-disk save
    // names its own.
    LoseUrlQueue(why);
  }

  CallLogProc("caling ApplicationTerminate");
  try {
    CallApplicationTerminate();
  } catch (...) {
    CallErrorLogProc("cant do ApplicationTerminate");
  }
  CallLogProc("ApplicationTerminate end");
}

void TCloseAllThreads::CallApplicationTerminate() {
  Synchronize([] {
    if (ApplicationTerminateProc) ApplicationTerminateProc();
  });
}

}  // namespace tov
