// The crawler engine's state, all of it in one object: what the engine's
// control surface, the page queue, the side-file queue and the orderly
// shut-down share between their threads; and beside it the locks that guard
// it. The names the engine's units have always used (StopCrawling, UrlQueue,
// SideFileSlots, ThreadCreateLock, ...) are references into these two
// objects, declared in each unit's header.
//
// There is one engine per process. Reset puts every value back to how the
// process began; it must never run while an engine thread is alive, since
// the threads free themselves and read this state to their last step. The
// engine's start resets only the values it has always reset; the rest lives
// for the whole process, and only the tests reset it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "crawler/CrawlerEngine.h"
#include "crawler/SideFileQueue.h"
#include "crawler/StorageSender.h"
#include "crawler/UrlQueue.h"
#include "platform/Files.h"

namespace tov {

class TCloseAllThreads;
class THentUrlerFraUrlserverThread;
class TSentTilLagringserverThread;

// What the side-file queue's take-up left as it was under a storage
// address's name, and why.
struct LeftAloneSideFile {
  std::string Path;
  std::string Why;
};

// The engine's locks, apart from the state they guard so that a reset never
// touches them: a thread that has just left may still be releasing one, and
// a lock cannot be rebuilt while anything refers to it.
struct TEngineLocks {
  std::mutex ThreadCountLock;
  std::mutex ThreadCreateLock;
  std::mutex UserInfoLock;
  std::mutex UrlQueuePutLock;
  std::mutex UrlQueueGetLock;
  std::mutex SideFileQueueLock;
};

// Every member starts from its initialiser, and that is the whole of what
// Reset restores: a new member needs nothing more than its start value here.
struct TEngineState {
  // Back to how the process began: the object is destroyed and built again
  // where it stands. A rebuild that failed would leave no object where the
  // names point, so a failure ends the process instead.
  void Reset() noexcept;

  // --- Engine control and the download-thread pool (CrawlerEngine.h) ---
  TLogProc LogProc;
  TLogProc ErrorLogProc;
  TStatProc StatProc;
  TNotifyProc ThreadCountProc;
  TLogProc HoltErrorProc;
  TNotifyProc ApplicationTerminateProc;

  std::atomic<bool> StopCrawling{false};
  std::atomic<bool> FetchEnabled{false};
  std::atomic<int32_t> WantedThreads{0};
  std::atomic<int32_t> RunningThreads{0};
  std::atomic<int32_t> ThreadsBeingCreated{0};
  std::atomic<int32_t> ThumbnailErrorCount{0};
  std::atomic<bool> SendingInProgres{false};
  std::atomic<bool> ResivingInProgres{false};
  std::atomic<bool> VerboseLog{false};

  std::string AppVersion;
  std::string UserAgent;
  bool DedicatedServer = false;
  std::string DedicatedServerName;
  std::string WorkDir;
  std::atomic<int32_t> SideFilePending{0};

  std::array<uint32_t, MaxCrawlerThreads + 1> CrawlerThreads{};

  // The background threads while they run; each clears its own as it ends.
  std::atomic<THartPip*> HartPipThread{nullptr};
  std::atomic<THentUrlerFraUrlserverThread*> HentUrlerFraUrlserver{nullptr};
  std::atomic<TSentTilLagringserverThread*> SentTilLagringserver{nullptr};

  TUserInfo UserInfo;  // under UserInfoLock
  std::atomic<TCrawlerThreadMaker> ThreadMaker{nullptr};
  bool ThreadCreationFailing = false;    // under ThreadCreateLock
  std::atomic<uint32_t> PageReports{0};  // the download threads' reports so far

  // --- The page queue (UrlQueue.h) ---
  queueType UrlQueue;              // no room until the engine's start makes the queue
  bool UrlQueueSaveBegun = false;  // under UrlQueuePutLock
  std::atomic<int32_t> UrlTakingHolds{0};

  // --- The storage sender (StorageSender.h) ---
  TStorageUploadPace StorageUploadPace;  // set before the engine starts (tests shorten it)

  // --- The side-file queue (SideFileQueue.h); all under SideFileQueueLock ---
  std::vector<FileInfo> SideFileSlots = std::vector<FileInfo>(SideFileInitialSlots);
  std::array<TFile, SideFileKeptOpenSlots> SideFileOpenFiles;
  // By storage address.
  std::map<std::string, std::vector<LeftAloneSideFile>> SideFilesLeftAlone;

  // --- The orderly shut-down (CloseAllThreads.h) ---
  std::atomic<TCloseAllThreads*> CloseAllThreadsThread{nullptr};
  std::atomic<bool> ClosingStarted{false};  // only the first close request starts a closing thread
};

extern TEngineLocks EngineLocks;
extern TEngineState EngineState;

}  // namespace tov
