#include "crawler/CrawlerEngine.h"

#include "common/BuildSettings.h"
#include "crawler/CrawlerThread.h"
#include "crawler/EngineState.h"
#include "crawler/SideFileQueue.h"
#include "crawler/StorageSender.h"
#include "crawler/UrlQueue.h"
#include "crawler/UrlServerExchange.h"
#include "platform/Files.h"

namespace tov {

namespace {

TCrawlerThread* MakeCrawlerThread() {
  TCrawlerThreadMaker maker = EngineState.ThreadMaker.load();
  return maker != nullptr ? maker() : new TCrawlerThread;
}

// Starts one of the engine's idle-priority background threads; from its
// resume on it owns itself and clears global when it ends.
template <typename T>
void StartBackgroundThread(std::atomic<T*>& global, const std::string& name) {
  auto* thread = new T;
  thread->SetPriority(TThreadPriority::Idle);
  thread->SetFreeOnTerminate(true);
  const uint32_t id = thread->ThreadID();
  global = thread;
  thread->Resume();
  CallLogProc("Creating thread " + name + " as id: " + std::to_string(id));
}

}  // namespace

void CallLogProc(const std::string& line) {
  if (!LogProc) return;
  try {
    LogProc(line);
  } catch (...) {
  }
}

void CallErrorLogProc(const std::string& line) {
  if (!ErrorLogProc) return;
  try {
    ErrorLogProc(line);
  } catch (...) {
  }
}

TUserInfo CurrentUserInfo() {
  std::lock_guard<std::mutex> lock(EngineLocks.UserInfoLock);
  return EngineState.UserInfo;
}

void SetUserInfo(const std::string& user, const std::string& password, const std::string& team) {
  std::lock_guard<std::mutex> lock(EngineLocks.UserInfoLock);
  EngineState.UserInfo = TUserInfo{user, password, team};
}

void EnableFetching() { FetchEnabled = true; }

void SetVerboseLog(bool flag) { VerboseLog = flag; }

void LogVerbose(const std::string& msg) {
  if (VerboseLog) CallLogProc(msg);
}

int32_t RunningThreadCount() {
  std::lock_guard<std::mutex> lock(ThreadCountLock);
  return RunningThreads;
}

int32_t QueuedUrlCount() { return UrlQueueCount(); }

int32_t PendingSideFileCount() { return SideFilePending; }

std::string CrawlerUserAgent(const std::string& version) {
  return std::string(TOV_USER_AGENT_PRODUCT) + "/" + version + " ( " + TOV_USER_AGENT_INFO_URL + " )";
}

void StartCrawler(TLogProc logProc, const std::string& version, TLogProc holtErrorProc,
                  ExceptionHook exceptionHandler, TStatProc statProc, TLogProc errorLogProc,
                  TNotifyProc applicationTerminateProc, TNotifyProc threadCountProc,
                  bool dedicatedServer, const std::string& dedicatedServerName) {
  SetApplicationExceptionHook(std::move(exceptionHandler));
  ThreadsBeingCreated = 0;
  SendingInProgres = false;
  ResivingInProgres = false;
  SideFilePending = 0;
  AppVersion = version;
  StatProc = std::move(statProc);
  ThreadCountProc = std::move(threadCountProc);
  DedicatedServer = dedicatedServer;
  DedicatedServerName = dedicatedServerName;
  UserAgent = CrawlerUserAgent(AppVersion);
  ApplicationTerminateProc = std::move(applicationTerminateProc);
  HoltErrorProc = std::move(holtErrorProc);
  LogProc = std::move(logProc);
  ErrorLogProc = std::move(errorLogProc);
  ThumbnailErrorCount = 0;
  CrawlerThreads.fill(0);
  RunningThreads = 0;
  WantedThreads = 0;
  WorkDir = GetCurrentDir();
  StopCrawling = false;
  FetchEnabled = false;
  SetVerboseLog(false);

  try {
    InitUrlQueue(1500);
    LoadUrlQueue();

    StartBackgroundThread(HentUrlerFraUrlserver, "HentUrlerFraUrlserver");
    StartBackgroundThread(SentTilLagringserver, "SentTilLagringserver");

    auto* heartbeat = new THartPip;
    heartbeat->SetFreeOnTerminate(true);
    HartPipThread = heartbeat;
    heartbeat->Resume();  // from here on the thread owns itself

    // The sender waits while nothing is pending; no download thread exists yet.
    InitSideFileQueue();
    TakeUpSideFiles();
  } catch (...) {
    StopCrawling = true;
    CallErrorLogProc("The crawler engine could not start: " + CurrentExceptionClassName() + " " +
                     CurrentExceptionMessage());
    throw;
  }
}

void SetCrawlers(int32_t n) {
  std::lock_guard<std::mutex> create_lock(ThreadCreateLock);
  if (StopCrawling) return;
  if (n > MaxCrawlerThreads) n = MaxCrawlerThreads;
  if (n < 0) n = 0;
  if (n <= RunningThreadCount() || ThreadsBeingCreated != 0) {
    WantedThreads = n;
    return;
  }
  WantedThreads = n;
  int32_t k = RunningThreadCount();
  while (k < n) {
    ++k;
    ThreadsBeingCreated.fetch_add(1);
    TCrawlerThread* thread = nullptr;
    try {
      thread = MakeCrawlerThread();
    } catch (...) {
      // Safeguard: failed thread creation. A thread that cannot be made is not left counted as on its way,
      // which would stop every later raise.
      ThreadsBeingCreated.fetch_sub(1);
      if (!EngineState.ThreadCreationFailing) {
        CallErrorLogProc("Cant create thread nr: " + std::to_string(k) + " of " + std::to_string(n) + ": " +
                         CurrentExceptionClassName() + ": " + CurrentExceptionMessage() +
                         "; the next thread count tries again");
      }
      EngineState.ThreadCreationFailing = true;
      return;
    }
    EngineState.ThreadCreationFailing = false;
    CrawlerThreads[static_cast<size_t>(k)] = thread->ThreadID();
    thread->SetFreeOnTerminate(true);
    thread->SetPriority(TThreadPriority::Idle);
    uint32_t id = thread->ThreadID();
    thread->Resume();  // from here on the thread owns itself
    CallLogProc("Creating thread nr: " + std::to_string(k) + " of " + std::to_string(WantedThreads.load()) +
                " as id: " + std::to_string(id));
  }
}

void SetCrawlerThreadMaker(TCrawlerThreadMaker maker) { EngineState.ThreadMaker = maker; }

THartPip::~THartPip() {
  THartPip* self = this;
  HartPipThread.compare_exchange_strong(self, nullptr);
}

void ReportThreadCount() {
  if (ThreadCountProc) ThreadCountProc();
  EngineState.PageReports.fetch_add(1);
}

// Safeguard: idle heartbeat. Threads that wait for pages or for their entries report nothing, so the
// heartbeat beats for them, and the monitor never kills a crawler that is only idle or paused.
bool HeartbeatDue(int32_t runningThreads, uint32_t pageReportsBefore, uint32_t pageReportsNow) {
  return runningThreads < 2 || pageReportsBefore == pageReportsNow;
}

void THartPip::Execute() {
  uint32_t before = EngineState.PageReports;
  while (!StopCrawling) {
    const uint32_t now = EngineState.PageReports;
    if (HeartbeatDue(RunningThreadCount(), before, now) && ThreadCountProc) ThreadCountProc();
    before = now;
    EngineSleep(3000);
  }
}

}  // namespace tov
