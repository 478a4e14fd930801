#include "crawler/EngineState.h"

#include "crawler/CloseAllThreads.h"
#include "crawler/StorageSender.h"
#include "crawler/UrlServerExchange.h"

namespace tov {

TEngineState EngineState;

// The units' names for the state. Bound to members of an object of static
// storage, they are constant-initialised: usable before any constructor runs.
TLogProc& LogProc = EngineState.LogProc;
TLogProc& ErrorLogProc = EngineState.ErrorLogProc;
TStatProc& StatProc = EngineState.StatProc;
TNotifyProc& ThreadCountProc = EngineState.ThreadCountProc;
TLogProc& HoltErrorProc = EngineState.HoltErrorProc;
TNotifyProc& ApplicationTerminateProc = EngineState.ApplicationTerminateProc;

std::atomic<bool>& StopCrawling = EngineState.StopCrawling;
std::atomic<bool>& FetchEnabled = EngineState.FetchEnabled;
std::atomic<int32_t>& WantedThreads = EngineState.WantedThreads;
std::atomic<int32_t>& RunningThreads = EngineState.RunningThreads;
std::atomic<int32_t>& ThreadsBeingCreated = EngineState.ThreadsBeingCreated;
std::atomic<int32_t>& ThumbnailErrorCount = EngineState.ThumbnailErrorCount;
std::atomic<bool>& SendingInProgres = EngineState.SendingInProgres;
std::atomic<bool>& ResivingInProgres = EngineState.ResivingInProgres;
std::atomic<bool>& VerboseLog = EngineState.VerboseLog;

std::string& AppVersion = EngineState.AppVersion;
std::string& UserAgent = EngineState.UserAgent;
bool& DedicatedServer = EngineState.DedicatedServer;
std::string& DedicatedServerName = EngineState.DedicatedServerName;
std::string& WorkDir = EngineState.WorkDir;
std::atomic<int32_t>& SideFilePending = EngineState.SideFilePending;

std::array<uint32_t, MaxCrawlerThreads + 1>& CrawlerThreads = EngineState.CrawlerThreads;
std::mutex& ThreadCountLock = EngineState.ThreadCountLock;
std::mutex& ThreadCreateLock = EngineState.ThreadCreateLock;
std::atomic<THartPip*>& HartPipThread = EngineState.HartPipThread;
std::atomic<THentUrlerFraUrlserverThread*>& HentUrlerFraUrlserver = EngineState.HentUrlerFraUrlserver;
std::atomic<TSentTilLagringserverThread*>& SentTilLagringserver = EngineState.SentTilLagringserver;

queueType& UrlQueue = EngineState.UrlQueue;
std::mutex& UrlQueuePutLock = EngineState.UrlQueuePutLock;
std::mutex& UrlQueueGetLock = EngineState.UrlQueueGetLock;

std::vector<FileInfo>& SideFileSlots = EngineState.SideFileSlots;
std::mutex& SideFileQueueLock = EngineState.SideFileQueueLock;

std::atomic<TCloseAllThreads*>& CloseAllThreadsThread = EngineState.CloseAllThreadsThread;

void TEngineState::Reset() {
  LogProc = nullptr;
  ErrorLogProc = nullptr;
  StatProc = nullptr;
  ThreadCountProc = nullptr;
  HoltErrorProc = nullptr;
  ApplicationTerminateProc = nullptr;

  StopCrawling = false;
  FetchEnabled = false;
  WantedThreads = 0;
  RunningThreads = 0;
  ThreadsBeingCreated = 0;
  ThumbnailErrorCount = 0;
  SendingInProgres = false;
  ResivingInProgres = false;
  VerboseLog = false;

  AppVersion.clear();
  UserAgent.clear();
  DedicatedServer = false;
  DedicatedServerName.clear();
  WorkDir.clear();
  SideFilePending = 0;

  CrawlerThreads.fill(0);
  HartPipThread = nullptr;
  HentUrlerFraUrlserver = nullptr;
  SentTilLagringserver = nullptr;

  UserInfo = TUserInfo{};
  ThreadMaker = nullptr;
  ThreadCreationFailing = false;
  PageReports = 0;

  CreateQueue(UrlQueue, 0);  // no room until the engine's start makes the queue
  UrlQueueSaveBegun = false;
  UrlTakingHolds = 0;

  StorageUploadPace = TStorageUploadPace{};

  SideFileSlots.assign(SideFileInitialSlots, FileInfo{});
  for (TFile& file : SideFileOpenFiles) file = TFile();
  SideFilesLeftAlone.clear();

  CloseAllThreadsThread = nullptr;
  ClosingStarted = false;
}

}  // namespace tov
