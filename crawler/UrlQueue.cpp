#include "crawler/UrlQueue.h"

#include <sys/stat.h>

#include "crawler/CrawlerEngine.h"
#include "crawler/EngineState.h"
#include "platform/Files.h"
#include "platform/Threads.h"

namespace tov {

namespace {
constexpr const char* kSideFileName = "SideFile.dat";
constexpr uint32_t kQueuePollMs = 10000;

int32_t Successor(const queueType& q, int32_t i) { return (i % q.Capacity) + 1; }

// What stands under the save file's name when that is not a regular file
// ("a FIFO", ...); empty for a regular file or none. The name itself is
// looked at, not what a symbolic link points to.
std::string NonRegularKind(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) != 0 || S_ISREG(st.st_mode)) return {};
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  return "a device";
}

void LogNotRegular(const std::string& kind) {
  CallErrorLogProc(std::string(kSideFileName) + " is " + kind + ", not a regular file; it is left alone");
}

// The one line for a page the save file could not take.
void LogPageLost(const UrlInfo& info, const std::string& why) {
  CallErrorLogProc(std::string(kSideFileName) + " cannot take " + info.Url.str() + ": " + why + "; the page is lost");
}
}  // namespace

void EncodeUrlInfo(const UrlInfo& info, std::span<uint8_t, UrlInfo::kEncodedSize> out) {
  ByteWriter w(out);
  w.Put(info.Url);
  w.Put(info.Dato);
  w.Put(info.DocID);
  w.Put(info.PageType);
  w.Put(info.Storage);
  w.PutBool(info.MakeThumbnale);
}

UrlInfo DecodeUrlInfo(std::span<const uint8_t, UrlInfo::kEncodedSize> in) {
  ByteReader r(in);
  UrlInfo info;
  r.Get(info.Url);
  r.Get(info.Dato);
  r.Get(info.DocID);
  r.Get(info.PageType);
  r.Get(info.Storage);
  info.MakeThumbnale = r.GetBool();
  return info;
}

void CreateQueue(queueType& q, int32_t capacity) {
  q.Front = 1;
  q.Rear = capacity;
  q.Count = 0;
  q.Capacity = capacity;
  q.Items.assign(static_cast<size_t>(capacity) + 1, UrlInfo{});
}

bool QueueIsEmpty(const queueType& q) { return q.Count.load() == 0; }

bool Enqueue(queueType& q, const UrlInfo& item) {
  if (q.Count.load() == q.Capacity) return false;
  q.Rear = Successor(q, q.Rear);
  q.Items[static_cast<size_t>(q.Rear)] = item;
  q.Count.fetch_add(1);  // the record is stored before it is counted
  return true;
}

bool Dequeue(queueType& q) {
  if (QueueIsEmpty(q)) return false;
  q.Front = Successor(q, q.Front);
  q.Count.fetch_sub(1);
  return true;
}

bool QueueFront(const queueType& q, UrlInfo& item) {
  if (QueueIsEmpty(q)) return false;
  item = q.Items[static_cast<size_t>(q.Front)];
  return true;
}

void InitUrlQueue(int32_t capacity) {
  CreateQueue(UrlQueue, capacity);
  std::lock_guard<std::mutex> lock(UrlQueuePutLock);
  EngineState.UrlQueueSaveBegun = false;
}

bool PutUrl(const UrlInfo& item) {
  UrlInfo copy = item;
  std::lock_guard<std::mutex> lock(UrlQueuePutLock);
  for (;;) {
    const bool full = UrlQueue.Count.load() == UrlQueue.Capacity;
    // Safeguard: put ends at stop. After the stop, a page the queue cannot take in time for the save is named,
    // not lost in silence.
    // (Nothing takes pages then, so a full queue stays full.)
    if (StopCrawling && (full || EngineState.UrlQueueSaveBegun)) {
      LogPageLost(copy, EngineState.UrlQueueSaveBegun ? "the page queue was saved already"
                                                      : "the page queue is full at shut-down");
      return false;
    }
    if (!full) return Enqueue(UrlQueue, copy);
    EngineSleep(kQueuePollMs);
  }
}

bool GetUrl(UrlInfo& item) {
  std::lock_guard<std::mutex> lock(UrlQueueGetLock);
  // Safeguard: no take after stop. Once the engine stops, a waiting taker takes nothing more: a page that
  // arrives during the shut-down stays for the save instead of being lost
  // with a thread the shut-down no longer waits for.
  while ((QueueIsEmpty(UrlQueue) || EngineState.UrlTakingHolds.load() > 0) && !StopCrawling) EngineSleep(kQueuePollMs);
  if (StopCrawling) return false;
  bool result = QueueFront(UrlQueue, item);
  Dequeue(UrlQueue);
  return result;
}

bool HoldUrlTaking() { return EngineState.UrlTakingHolds.fetch_add(1) == 0; }

void ReleaseUrlTaking() { EngineState.UrlTakingHolds.fetch_sub(1); }

bool TryGetUrl(UrlInfo& item) {
  // A taker may hold the get lock through its polls of an empty queue; then
  // there is nothing to take and nothing to wait for.
  std::unique_lock<std::mutex> lock(UrlQueueGetLock, std::try_to_lock);
  while (!lock.owns_lock()) {
    if (QueueIsEmpty(UrlQueue)) return false;
    RealSleep(1);
    lock.try_lock();
  }
  if (!QueueFront(UrlQueue, item)) return false;
  Dequeue(UrlQueue);
  return true;
}

bool UrlQueueIsEmpty() { return QueueIsEmpty(UrlQueue); }
int32_t UrlQueueCount() { return UrlQueue.Count.load(); }

void SaveUrlQueue() {
  {
    // Waits for a put under way; every later one is refused and named.
    std::lock_guard<std::mutex> lock(UrlQueuePutLock);
    EngineState.UrlQueueSaveBegun = true;
  }
  // Safeguard: regular save file. The save never writes through a symbolic link, nor into a FIFO where it
  // would block.
  // A directory cannot be created over and fails as it is.
  if (const std::string kind = NonRegularKind(kSideFileName); !kind.empty() && kind != "a directory") {
    LogNotRegular(kind);
    throw EInOutError(5);
  }
  TFile file = TFile::Create(kSideFileName);
  std::array<uint8_t, UrlInfo::kEncodedSize> record{};
  UrlInfo info;
  int64_t whole = 0;  // bytes of the records written whole
  // Safeguard: save never waits. A download thread may take the last records meanwhile; the save takes only
  // what is there and never waits for a record to arrive.
  while (!UrlQueueIsEmpty()) {
    if (!TryGetUrl(info)) break;
    EncodeUrlInfo(info, record);
    try {
      file.Write(record.data(), record.size());
      whole += static_cast<int64_t>(record.size());
    } catch (const EInOutError& e) {
      // Safeguard: full-disk save. A full disk, say: the page is lost, and the error log names it. The
      // part of its record the disk took is cut off, so the records after it
      // stay aligned and the next start loads no garbage; a file that cannot
      // be cut ends the save.
      LogVerbose("Kunne ikke lagre infor om en side");
      LogPageLost(info, e.Message());
      file.Truncate(whole);
      file.Seek(whole);
    }
  }
  file.Close();
}

void LoseUrlQueue(const std::string& why) {
  UrlInfo info;
  while (TryGetUrl(info)) LogPageLost(info, why);
}

void LoadUrlQueue() {
  // Safeguard: regular save file. Only a regular file is read; opening a FIFO would hold up the start for good.
  // (Something swapped in between this look and the open is out of reach: only the owner of the work
  // directory can do that.)
  if (const std::string kind = NonRegularKind(kSideFileName); !kind.empty()) {
    LogNotRegular(kind);
    return;
  }
  TFile file;
  try {
    file = TFile::OpenExisting(kSideFileName, TFile::Mode::Read);
  } catch (const EInOutError&) {
    CallLogProc("Cant open SideFile.dat");
    return;
  }
  std::array<uint8_t, UrlInfo::kEncodedSize> record{};
  int64_t dropped = 0;
  size_t tail = 0;
  try {
    for (;;) {
      size_t n = file.Read(record.data(), record.size());
      if (n == 0) break;
      if (n < record.size()) {
        tail = n;
        break;
      }
      // Safeguard: damaged save file. Nothing consumes the queue during start-up, so a file with more records
      // than the queue holds must not wait for room: the surplus is dropped.
      if (UrlQueueCount() >= UrlQueue.Capacity) {
        ++dropped;
        continue;
      }
      UrlInfo info = DecodeUrlInfo(record);
      PutUrl(info);
      CallLogProc("loaded url: " + info.Url.str());
    }
  } catch (const EInOutError& e) {
    CallErrorLogProc("SideFile.dat could not be read to its end: " + e.Message());
  }
  if (tail > 0) {
    CallErrorLogProc("SideFile.dat ends in a partial record of " + std::to_string(tail) +
                     " bytes; it was dropped");
  }
  if (dropped > 0) {
    CallErrorLogProc("SideFile.dat holds more records than the queue; " + std::to_string(dropped) +
                     " were dropped");
  }
  file = TFile();
  DeleteFile(kSideFileName);
}

}  // namespace tov
