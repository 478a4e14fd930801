// The crawler engine's state, all of it in one object: what the engine's
// control surface, the page queue, the side-file queue and the orderly
// shut-down share between their threads. The names the engine's units have
// always used (StopCrawling, UrlQueue, SideFileSlots, ThreadCreateLock, ...)
// are references into this object, declared in each unit's header.
//
// There is one engine per process. Reset puts every value back to how the
// process began (the locks excepted); it must never run while an engine
// thread is alive, since the threads free themselves and read this state to
// their last step. The engine's start resets only the values it has always
// reset; the rest lives for the whole process, and only the tests reset it.
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

struct TEngineState {
  // Back to how the process began. Locks keep their state: a thread that
  // has just left may still be releasing one.
  void Reset();

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
  std::mutex ThreadCountLock;
  std::mutex ThreadCreateLock;

  // The background threads while they run; each clears its own as it ends.
  std::atomic<THartPip*> HartPipThread{nullptr};
  std::atomic<THentUrlerFraUrlserverThread*> HentUrlerFraUrlserver{nullptr};
  std::atomic<TSentTilLagringserverThread*> SentTilLagringserver{nullptr};

  std::mutex UserInfoLock;
  TUserInfo UserInfo;  // under UserInfoLock
  std::atomic<TCrawlerThreadMaker> ThreadMaker{nullptr};
  bool ThreadCreationFailing = false;    // under ThreadCreateLock
  std::atomic<uint32_t> PageReports{0};  // the download threads' reports so far

  // --- The page queue (UrlQueue.h) ---
  queueType UrlQueue;
  std::mutex UrlQueuePutLock;
  std::mutex UrlQueueGetLock;
  bool UrlQueueSaveBegun = false;  // under UrlQueuePutLock
  std::atomic<int32_t> UrlTakingHolds{0};

  // --- The storage sender (StorageSender.h) ---
  TStorageUploadPace StorageUploadPace;  // set before the engine starts (tests shorten it)

  // --- The side-file queue (SideFileQueue.h); all under SideFileQueueLock ---
  std::vector<FileInfo> SideFileSlots = std::vector<FileInfo>(SideFileInitialSlots);
  std::mutex SideFileQueueLock;
  std::array<TFile, SideFileKeptOpenSlots> SideFileOpenFiles;
  // By storage address.
  std::map<std::string, std::vector<LeftAloneSideFile>> SideFilesLeftAlone;

  // --- The orderly shut-down (CloseAllThreads.h) ---
  std::atomic<TCloseAllThreads*> CloseAllThreadsThread{nullptr};
  std::atomic<bool> ClosingStarted{false};  // only the first close request starts a closing thread
};

extern TEngineState EngineState;

}  // namespace tov
