// The page queue: one bounded ring of page records between the URL-server reply
// handling (producer) and the download threads (consumers), and its save file
// "SideFile.dat" that carries waiting pages over a restart.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/ByteCodec.h"

namespace tov {

// One page as the URL server handed it out. Fixed-size, copied by value.
struct UrlInfo {
  static constexpr size_t kEncodedSize = 263;

  ShortString<201> Url;
  ShortString<12> Dato;       // carried along, used nowhere else
  ShortString<12> DocID;
  ShortString<12> PageType;   // "crawl" or "robottxt"
  ShortString<20> Storage;    // storage server that receives the result
  bool MakeThumbnale = false;

  bool operator==(const UrlInfo&) const = default;
};

// The 263-byte layout of the record in "SideFile.dat".
void EncodeUrlInfo(const UrlInfo& info, std::span<uint8_t, UrlInfo::kEncodedSize> out);
UrlInfo DecodeUrlInfo(std::span<const uint8_t, UrlInfo::kEncodedSize> in);

// A circular queue; indexes run 1..Capacity, element 0 is never used. Count is
// raised by the producer side and lowered by the consumer side, each under its
// own lock, so it is atomic.
struct queueType {
  std::vector<UrlInfo> Items;
  int32_t Front = 1;
  int32_t Rear = 0;
  std::atomic<int32_t> Count{0};
  int32_t Capacity = 0;
};

void CreateQueue(queueType& q, int32_t capacity);
bool QueueIsEmpty(const queueType& q);
bool Enqueue(queueType& q, const UrlInfo& item);
bool Dequeue(queueType& q);
bool QueueFront(const queueType& q, UrlInfo& item);

// The engine's queue, in the engine's state, and its locks (EngineState.h).
extern queueType& UrlQueue;
extern std::mutex& UrlQueuePutLock;
extern std::mutex& UrlQueueGetLock;

void InitUrlQueue(int32_t capacity);
// Waits, sleeping 10 s at a time with the put lock held, while the queue is
// full. Once StopCrawling is set, a page that finds the queue full, or finds
// the save begun, is not put: it is named in the error log ("SideFile.dat
// cannot take <url>: ...") and the result is false.
bool PutUrl(const UrlInfo& item);
// Waits, sleeping 10 s at a time with the get lock held, while the queue is
// empty or taking is held. Once StopCrawling is set it takes nothing and
// returns false.
bool GetUrl(UrlInfo& item);
// A hold on taking: while one or more are on, GetUrl hands out no page. A
// download thread puts one on while a page it took waits for its entry to be
// written, so that no thread fetches a page that could not be queued either.
// HoldUrlTaking is true for the hold that begins such a pause.
bool HoldUrlTaking();
void ReleaseUrlTaking();
// Takes the oldest record if there is one, without waiting for one to arrive
// or for a taker that waits on the empty queue.
bool TryGetUrl(UrlInfo& item);
bool UrlQueueIsEmpty();
int32_t UrlQueueCount();

// Writes the waiting records to "SideFile.dat", oldest first. A record that
// cannot be written (a full disk) is cut off the file again and its page is
// lost with an error-log line "SideFile.dat cannot take <url>: ...", so the
// file holds whole records only. Raises EInOutError when the file cannot be
// created, cut back or closed, and (after an error-log line) when the name
// stands for something else than a regular file, which is left alone.
void SaveUrlQueue();
// Takes every record still waiting and names each in the error log as lost
// ("SideFile.dat cannot take <url>: <why>; the page is lost"): what a save
// that failed left in the queue.
void LoseUrlQueue(const std::string& why);
// Puts the records of "SideFile.dat" back into the queue and deletes the file.
// Anything else than a regular file of that name (a FIFO, a directory, a
// symbolic link) is not opened: it gets an error-log line and is left alone.
void LoadUrlQueue();

}  // namespace tov
