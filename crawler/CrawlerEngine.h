// The crawler engine's control surface and shared state: the callbacks the
// window hands in, the global flags and counters every engine thread reads, the
// download-thread pool and the heartbeat. The engine is these globals and
// routines, started once per process by StartCrawler; the globals are
// references into the one engine state and its locks (EngineState.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/Threads.h"

namespace tov {

class TCrawlerThread;

using TLogProc = std::function<void(const std::string& line)>;
// What StatProc is given. The engine reports the three page outcomes, once
// per page; the window's own heartbeat report shares the numbering.
constexpr uint8_t StatUrlOk = 0;        // a "crawl" page fetched with status 200
constexpr uint8_t StatUrlError = 1;     // a "crawl" page with any other outcome
constexpr uint8_t StatRobotsTxt = 2;    // a "robottxt" page, whatever its outcome
constexpr uint8_t StatThreadCount = 3;  // never from the engine: the heartbeat (ThreadCountProc)
using TStatProc = std::function<void(uint8_t outcome)>;
using TNotifyProc = std::function<void()>;

constexpr int32_t MaxCrawlerThreads = 100;

// Procedure variables, set by StartCrawler before any engine thread runs and
// only read afterwards.
extern TLogProc& LogProc;
extern TLogProc& ErrorLogProc;
extern TStatProc& StatProc;
extern TNotifyProc& ThreadCountProc;
extern TLogProc& HoltErrorProc;                // window thread only (synchronised call)
extern TNotifyProc& ApplicationTerminateProc;  // window thread only

// Call the procedure variables when set; failures inside them are swallowed,
// so a log call never ends an engine thread.
void CallLogProc(const std::string& line);
void CallErrorLogProc(const std::string& line);

// Flags and counts read across threads without a lock.
extern std::atomic<bool>& StopCrawling;
extern std::atomic<bool>& FetchEnabled;
extern std::atomic<int32_t>& WantedThreads;
extern std::atomic<int32_t>& RunningThreads;       // changed under ThreadCountLock
extern std::atomic<int32_t>& ThreadsBeingCreated;  // +1 under ThreadCreateLock, -1 under ThreadCountLock
extern std::atomic<int32_t>& ThumbnailErrorCount;  // raised under ThreadCountLock
extern std::atomic<bool>& SendingInProgres;
extern std::atomic<bool>& ResivingInProgres;
extern std::atomic<bool>& VerboseLog;

extern std::string& AppVersion;
extern std::string& UserAgent;
extern bool& DedicatedServer;
extern std::string& DedicatedServerName;
extern std::string& WorkDir;
extern std::atomic<int32_t>& SideFilePending;  // changed under SideFileQueueLock (SideFileQueue.h)

// The participant's account fields. They are replaced on the link thread while
// the URL fetcher and the sender read them, so readers take a copy.
struct TUserInfo {
  std::string UserName;
  std::string UserPassword;
  std::string TeamName;
};
TUserInfo CurrentUserInfo();

// Slot k holds the id of the thread started as the k-th running one. The
// threads free themselves, so the table keeps ids, not objects.
extern std::array<uint32_t, MaxCrawlerThreads + 1>& CrawlerThreads;

extern std::mutex& ThreadCountLock;  // order: ThreadCreateLock before ThreadCountLock
extern std::mutex& ThreadCreateLock;

// Starts the engine: resets the globals, stores the callbacks, loads the saved
// page queue and starts the background threads. When a step fails the stop
// flag is set (so no download thread can be started on a half-started engine),
// the failure goes to the error log and the exception to the caller.
void StartCrawler(TLogProc logProc, const std::string& version, TLogProc holtErrorProc,
                  ExceptionHook exceptionHandler, TStatProc statProc, TLogProc errorLogProc,
                  TNotifyProc applicationTerminateProc, TNotifyProc threadCountProc,
                  bool dedicatedServer, const std::string& dedicatedServerName);
// The download threads' user agent for a program version.
std::string CrawlerUserAgent(const std::string& version);
void SetUserInfo(const std::string& user, const std::string& password, const std::string& team);
void EnableFetching();
// Sets the wanted number of download threads (0 to 100; more is capped at 100)
// and starts the missing ones. A thread that cannot be made ends the call: it
// is logged (once until a thread can be made again) and not counted, so the
// next call tries again.
void SetCrawlers(int32_t n);

// How SetCrawlers makes a download thread, suspended; it may raise. Tests put
// in one that fails; nullptr restores the plain one, which the programs use.
using TCrawlerThreadMaker = TCrawlerThread* (*)();
void SetCrawlerThreadMaker(TCrawlerThreadMaker maker);

int32_t RunningThreadCount();
int32_t QueuedUrlCount();
int32_t PendingSideFileCount();
void SetVerboseLog(bool flag);
void LogVerbose(const std::string& msg);

// A download thread's report after each page: the running-thread count
// through ThreadCountProc, noted so that the heartbeat knows it was sent.
void ReportThreadCount();

// Whether the heartbeat reports at this turn: while fewer than two download
// threads run, always; with more, only when none of them has reported a page
// since its last turn. Threads that wait for pages are alive too, and the
// monitor kills a crawler that stays silent for four minutes.
bool HeartbeatDue(int32_t runningThreads, uint32_t pageReportsBefore, uint32_t pageReportsNow);

// The heartbeat: reports the running-thread count every 3 s when HeartbeatDue.
class THartPip : public TThread {
 public:
  ~THartPip() override;

 protected:
  void Execute() override;
};
// The heartbeat once started; it frees itself and clears this as it ends, so
// null means it can no longer call ThreadCountProc.
extern std::atomic<THartPip*>& HartPipThread;

}  // namespace tov
