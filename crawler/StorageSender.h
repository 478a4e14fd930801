// The storage sender: one background thread that, once more than 500 entries
// wait, walks the slot table and ships each slot's queue file to its storage
// server: the file is renamed to its sending name, checked entry by entry,
// streamed behind a fixed-width text header over a new TCP connection, and
// deleted. Nothing is read back from the server.
//
// A server that takes no connection within StorageConnectTries tries keeps
// its file whole and counted; the pass goes on with the next slot, and the
// server is tried again on the next pass. A file is deleted only after it
// was sent whole. One whose sending failed keeps its sending name and its
// entries keep their count, and a sending file found at the start of a
// slot's turn (from a failed send or an earlier run) is delivered before the
// slot's file takes that name; what lies under a sending name and is no
// queue file (a link, a FIFO, bytes without a whole entry) is moved aside to
// a kept name instead. A file too large for one upload's 8-digit total goes
// out as several uploads of whole entries.
//
// An upload must keep a floor pace (TStorageUploadPace), so a server that
// takes the connection and then reads a trickle or nothing cannot hold the
// sender long, while one behind a slow but steady uplink gets any upload
// through. A server whose last try failed (no connection, an upload that
// failed or was cut) is visited after the others on later passes, until it
// takes an upload whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "crawler/CrawlerEngine.h"
#include "crawler/SideFileEntry.h"
#include "platform/Threads.h"

namespace tov {

extern const std::string StorageHeaderFormat;
constexpr int32_t StorageSendThreshold = 500;  // a pass starts above this many pending entries
constexpr size_t StorageBlockSize = 2024;
// Connection tries, 2 seconds apart, that one pass gives a storage server:
// a server that restarts gets a few seconds, and one that never answers
// costs each pass at most three connect time-outs.
constexpr int StorageConnectTries = 3;

// How slowly an upload may go before it is cut: from the moment its
// connection stands, every stretch of WindowMs must take at least WindowMs
// at BytesPerSecond. 4 KB/s (32 kbit/s) is far below what the lowest-priority
// user of even a slow shared uplink gets, so an upload that keeps moving is
// never cut, whatever its size; one that moves nothing, or only a trickle, is
// cut once a window has passed (120 s, what one stalled send gets anyway).
// So an upload of n bytes ends within WindowMs + n / BytesPerSecond.
struct TStorageUploadPace {
  int64_t WindowMs = 120000;
  int64_t BytesPerSecond = 4096;
  int64_t WindowBytes() const { return WindowMs * BytesPerSecond / 1000; }
};

// The 81-character header of an upload of `total` bytes (header included).
std::string FormatStorageHeader(int64_t total, int32_t dedicatedFlag, const std::string& dedicatedServerName,
                                const TUserInfo& user);

struct UploadRange {
  int64_t Begin = 0;
  int64_t End = 0;
  bool operator==(const UploadRange&) const = default;
};
// Splits a file, given where its entries end, into consecutive uploads of whole
// entries of at most maxSize bytes each (one upload when it fits; one empty
// upload for an empty file). An entry larger than maxSize gets an upload of its own.
std::vector<UploadRange> SplitIntoUploads(const std::vector<int64_t>& entryEnds, int64_t maxSize);

class TSentTilLagringserverThread : public TThread {
 public:
  ~TSentTilLagringserverThread() override;

 protected:
  void Execute() override;
};

// The running sender; cleared when the thread has ended and freed itself.
extern std::atomic<TSentTilLagringserverThread*>& SentTilLagringserver;

}  // namespace tov
