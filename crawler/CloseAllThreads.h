// The orderly shut-down. Every way of ending the crawler arrives at the window
// as a close request, which calls StopCrawler on the window thread. A closing
// thread then waits, within fixed limits, for the download threads and for a
// send or URL-server exchange in progress, saves the page queue to
// "SideFile.dat" and has the window thread end the process.
#pragma once

#include <atomic>

#include "platform/Threads.h"

namespace tov {

// Sets the stop flag and starts the closing thread; returns at once, so the
// window keeps handling messages while the closing thread waits (its last
// step runs on the window thread). Only the first call of a process starts a
// closing thread; later ones find it running and leave it alone, so the page
// queue is saved once.
void StopCrawler();
void CloseAllThreads();

// Each wait of the shut-down polls once a second, up to this many times.
constexpr int CloseWaitSeconds = 20;

class TCloseAllThreads : public TThread {
 public:
  ~TCloseAllThreads() override;

 protected:
  void Execute() override;

 private:
  // Runs ApplicationTerminateProc on the window thread and waits for it.
  void CallApplicationTerminate();
};

// The closing thread while it runs; it frees itself and clears this as it
// ends.
extern std::atomic<TCloseAllThreads*>& CloseAllThreadsThread;

}  // namespace tov
