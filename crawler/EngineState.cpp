#include "crawler/EngineState.h"

#include <memory>

#include "crawler/CloseAllThreads.h"
#include "crawler/StorageSender.h"
#include "crawler/UrlServerExchange.h"

namespace tov {

constinit TEngineLocks EngineLocks;
TEngineState EngineState;

// The units' names for the state. Bound to members of objects of static
// storage, they are constant-initialised (constinit holds them to it): usable
// before any constructor runs. They stay bound across Reset, since the object
// it builds takes the old one's place: the same type in the same storage, a
// whole object and not a const one.
constinit TLogProc& LogProc = EngineState.LogProc;
constinit TLogProc& ErrorLogProc = EngineState.ErrorLogProc;
constinit TStatProc& StatProc = EngineState.StatProc;
constinit TNotifyProc& ThreadCountProc = EngineState.ThreadCountProc;
constinit TLogProc& HoltErrorProc = EngineState.HoltErrorProc;
constinit TNotifyProc& ApplicationTerminateProc = EngineState.ApplicationTerminateProc;

constinit std::atomic<bool>& StopCrawling = EngineState.StopCrawling;
constinit std::atomic<bool>& FetchEnabled = EngineState.FetchEnabled;
constinit std::atomic<int32_t>& WantedThreads = EngineState.WantedThreads;
constinit std::atomic<int32_t>& RunningThreads = EngineState.RunningThreads;
constinit std::atomic<int32_t>& ThreadsBeingCreated = EngineState.ThreadsBeingCreated;
constinit std::atomic<int32_t>& ThumbnailErrorCount = EngineState.ThumbnailErrorCount;
constinit std::atomic<bool>& SendingInProgres = EngineState.SendingInProgres;
constinit std::atomic<bool>& ResivingInProgres = EngineState.ResivingInProgres;
constinit std::atomic<bool>& VerboseLog = EngineState.VerboseLog;

constinit std::string& AppVersion = EngineState.AppVersion;
constinit std::string& UserAgent = EngineState.UserAgent;
constinit bool& DedicatedServer = EngineState.DedicatedServer;
constinit std::string& DedicatedServerName = EngineState.DedicatedServerName;
constinit std::string& WorkDir = EngineState.WorkDir;
constinit std::atomic<int32_t>& SideFilePending = EngineState.SideFilePending;

constinit std::array<uint32_t, MaxCrawlerThreads + 1>& CrawlerThreads = EngineState.CrawlerThreads;
constinit std::mutex& ThreadCountLock = EngineLocks.ThreadCountLock;
constinit std::mutex& ThreadCreateLock = EngineLocks.ThreadCreateLock;
constinit std::atomic<THartPip*>& HartPipThread = EngineState.HartPipThread;
constinit std::atomic<THentUrlerFraUrlserverThread*>& HentUrlerFraUrlserver = EngineState.HentUrlerFraUrlserver;
constinit std::atomic<TSentTilLagringserverThread*>& SentTilLagringserver = EngineState.SentTilLagringserver;

constinit queueType& UrlQueue = EngineState.UrlQueue;
constinit std::mutex& UrlQueuePutLock = EngineLocks.UrlQueuePutLock;
constinit std::mutex& UrlQueueGetLock = EngineLocks.UrlQueueGetLock;

constinit std::vector<FileInfo>& SideFileSlots = EngineState.SideFileSlots;
constinit std::mutex& SideFileQueueLock = EngineLocks.SideFileQueueLock;

constinit std::atomic<TCloseAllThreads*>& CloseAllThreadsThread = EngineState.CloseAllThreadsThread;

void TEngineState::Reset() noexcept {
  std::destroy_at(this);
  std::construct_at(this);
}

}  // namespace tov
