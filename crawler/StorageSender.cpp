#include "crawler/StorageSender.h"

#include <algorithm>
#include <memory>
#include <set>

#include "common/SharedGlobals.h"
#include "crawler/SideFileQueue.h"
#include "platform/ClientSocket.h"
#include "platform/Files.h"

namespace tov {

const std::string StorageHeaderFormat = "%-8d%-2d%-10.10s%-6.6s%-12.12s%-12.12s%-1d%-10.10s%-20.20s";

namespace {

constexpr uint32_t kPollMs = 5000;
constexpr uint32_t kConnectRetryMs = 2000;

std::string Num(int64_t v) { return std::to_string(v); }

// A storage server that took no connection within one pass's tries.
struct StorageServerUnreachable {};
// The stop flag ended the tries.
struct SendingStopped {};

// Safeguard: dead storage server. One that does not answer holds up neither the other servers nor the
// shut-down.
// Tries every 2 seconds, at most StorageConnectTries times, and no more once
// the stop flag is set; raises StorageServerUnreachable or SendingStopped.
std::unique_ptr<TClientSocket> ConnectToStorageServer(const std::string& server) {
  for (int attempt = 0;; ++attempt) {
    if (StopCrawling) throw SendingStopped{};
    auto socket = std::make_unique<TClientSocket>();
    socket->SetHost(server);
    socket->SetPort(StoragePort);
    try {
      socket->Open();
      return socket;
    } catch (...) {
      CallLogProc("Can`t conect to server " + server);
    }
    socket.reset();
    if (attempt + 1 >= StorageConnectTries) throw StorageServerUnreachable{};
    EngineSleep(kConnectRetryMs);
  }
}

void CloseConnection(std::unique_ptr<TClientSocket>& socket) {
  try {
    socket->Close();
  } catch (...) {
    CallLogProc("Can`t close connection: " + CurrentExceptionClassName());
  }
  socket.reset();
}

// One upload: the header, then the range's bytes in blocks of 2024 and the rest.
void SendUpload(TClientSocket& socket, TFile& file, const UploadRange& range, int64_t file_end,
                const std::string& server, int32_t dedicated) {
  const int64_t size = range.End - range.Begin;
  const TUserInfo user = CurrentUserInfo();
  CallLogProc("bb");
  const int64_t header_length = static_cast<int64_t>(
      Format(StorageHeaderFormat, {int64_t{0}, int64_t{5}, "oppdater", AppVersion, user.UserName, user.UserPassword,
                                   int64_t{0}, "noname", user.TeamName})
          .size());
  const int64_t total = size + header_length;
  CallLogProc("Trying to send " + Num(total) + " bytes to server " + server);
  if (!socket.Active()) {
    CallLogProc("Client did get inactive during transmition");
    throw ESocketError("Client did get inactive during transmition");
  }
  socket.SendText(FormatStorageHeader(total, dedicated, DedicatedServerName, user));
  const int64_t blocks = size / static_cast<int64_t>(StorageBlockSize);
  CallLogProc("Blocks " + Num(blocks));
  file.Seek(range.Begin);
  int64_t pos = range.Begin;
  char buffer[StorageBlockSize];
  for (int64_t b = 0; b < blocks; ++b) {
    file.ReadExact(buffer, StorageBlockSize);
    pos += static_cast<int64_t>(StorageBlockSize);
    socket.SendBuf(buffer, StorageBlockSize);
    if (pos == file_end) CallLogProc("Eof");
  }
  const auto rest = static_cast<size_t>(size % static_cast<int64_t>(StorageBlockSize));
  CallLogProc("RestBlocks " + Num(static_cast<int64_t>(rest)));
  if (rest > 0) {
    file.ReadExact(buffer, rest);
    socket.SendBuf(buffer, rest);
  }
  CallLogProc("TransmitionSizeInByter " + Num(total));
}

// Checks, sends and deletes one sending file; returns its number of entries.
// Any failure raises and leaves the file where it is. One that cannot be
// sent at all (not a regular file, or no whole entry at its start) is moved
// aside, so that the slot's next file can take its name.
int32_t SendQueueFile(const std::string& server, const std::string& path, int32_t dedicated) {
  const SideFileCheck check = CheckSideFile(path);
  // Safeguard: sending name checked. What is no queue file under a sending name is kept aside, and cannot
  // stall its slot.
  if (!check.LeftAlone.empty()) {
    MoveSideFileAside(path, check.LeftAlone);
    return 0;
  }
  // Safeguard: split uploads. A file too large for one upload goes as several, each of whole entries.
  const std::vector<UploadRange> uploads = SplitIntoUploads(check.EntryEnds, MaxStorageUploadSize);
  CallLogProc(path);
  TFile file;
  for (size_t k = 0; k < uploads.size(); ++k) {
    std::unique_ptr<TClientSocket> socket = ConnectToStorageServer(server);
    if (k == 0) {
      CallLogProc("opening file");
      file = TFile::OpenRegular(path, TFile::Mode::Read);
    }
    SendUpload(*socket, file, uploads[k], check.WholeSize, server, dedicated);
    CloseConnection(socket);
  }
  CallLogProc("Data sent");
  try {
    file.Close();
  } catch (...) {
  }
  // Safeguard: delete after whole send. Only now, with every upload sent; any failure above left the file.
  if (!DeleteFile(path)) CallErrorLogProc("Cant delete sent side file " + path);
  return static_cast<int32_t>(check.EntryEnds.size());
}

FileInfo SlotSnapshot(size_t index, bool& exists) {
  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  exists = index < SideFileSlots.size();
  return exists ? SideFileSlots[index] : FileInfo{};
}

// Takes n entries off a slot's count and the pending count.
void Uncount(size_t index, int32_t n) {
  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  FileInfo& slot = SideFileSlots[index];
  n = std::min(n, slot.Count);
  slot.Count -= n;
  SideFilePending -= n;
}

void SendSlot(size_t index, int32_t dedicated) {
  bool exists = false;
  const FileInfo snapshot = SlotSnapshot(index, exists);
  const std::string sending = snapshot.FileName + SendingSuffix;

  // A sending file still here failed earlier or was left by a crash: it goes
  // first, so the slot's file can take its name without losing it.
  if (NameInUse(sending)) Uncount(index, SendQueueFile(snapshot.Server, sending, dedicated));

  int32_t taken = 0;
  {
    std::lock_guard<std::mutex> lock(SideFileQueueLock);
    FileInfo& slot = SideFileSlots[index];
    taken = slot.Count;
    if (taken <= 0) return;
    CloseSideFileHandle(index);
    if (!RenameFile(slot.FileName, sending)) {
      int err = errno;
      slot.Count = 0;
      SideFilePending -= taken;
      throw EInOutError(IoCodeFromErrno(err));
    }
    // Entries appended from here on go to a fresh file and count anew.
    slot.Count = 0;
  }
  try {
    SendQueueFile(snapshot.Server, sending, dedicated);
  } catch (...) {
    std::lock_guard<std::mutex> lock(SideFileQueueLock);
    SideFileSlots[index].Count += taken;  // the kept file's entries still wait
    throw;
  }
  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  SideFilePending -= taken;
}

// One walk over the table; a slot that fails is logged and the walk goes on,
// a set stop flag ends it. `unreachable` holds the servers that could not be
// reached since they last took a connection: each is named in the error log
// once when it stops answering. True when the pass sent at least one slot
// and every slot it visited.
bool SendPass(int32_t dedicated, std::set<std::string>& unreachable) {
  bool all_sent = true;
  int visited = 0;
  for (size_t i = 0;; ++i) {
    bool exists = false;
    const FileInfo slot = SlotSnapshot(i, exists);
    if (!exists) break;
    if (!slot.Used || slot.Count <= 0) continue;
    ++visited;
    try {
      SendSlot(i, dedicated);
      unreachable.erase(slot.Server);
    } catch (const StorageServerUnreachable&) {
      all_sent = false;
      if (unreachable.insert(slot.Server).second) {
        CallErrorLogProc("Storage server " + slot.Server + " could not be reached (" + Num(StorageConnectTries) +
                         " tries); its " + Num(SlotSnapshot(i, exists).Count) +
                         " entries are kept and it is tried again on later passes");
      }
    } catch (const SendingStopped&) {
      return false;
    } catch (const EInOutError& e) {
      CallErrorLogProc("SentTilLagringserver error: " + e.Message());
      all_sent = false;
    } catch (...) {
      CallErrorLogProc("Exception in SentTilLagringserver: " + CurrentExceptionClassName());
      all_sent = false;
    }
  }
  return all_sent && visited > 0;
}

}  // namespace

std::string FormatStorageHeader(int64_t total, int32_t dedicatedFlag, const std::string& dedicatedServerName,
                                const TUserInfo& user) {
  return Format(StorageHeaderFormat, {total, int64_t{5}, "oppdater", AppVersion, user.UserName, user.UserPassword,
                                      int64_t{dedicatedFlag}, dedicatedServerName, user.TeamName});
}

std::vector<UploadRange> SplitIntoUploads(const std::vector<int64_t>& entryEnds, int64_t maxSize) {
  std::vector<UploadRange> uploads;
  int64_t begin = 0;
  int64_t last = 0;
  for (int64_t end : entryEnds) {
    if (end - begin > maxSize && last > begin) {
      uploads.push_back({begin, last});
      begin = last;
    }
    last = end;
  }
  uploads.push_back({begin, last});
  return uploads;
}

TSentTilLagringserverThread::~TSentTilLagringserverThread() {
  TSentTilLagringserverThread* self = this;
  SentTilLagringserver.compare_exchange_strong(self, nullptr);
}

void TSentTilLagringserverThread::Execute() {
  std::set<std::string> unreachable;
  while (!StopCrawling) {
    const int32_t dedicated = DedicatedServer ? 1 : 0;
    if (PendingSideFileCount() <= StorageSendThreshold) {
      EngineSleep(kPollMs);
      continue;
    }
    SendingInProgres = true;
    bool all_sent = false;
    try {
      all_sent = SendPass(dedicated, unreachable);
    } catch (...) {
      CallErrorLogProc("Exception in SentTilLagringserver: " + CurrentExceptionClassName());
    }
    SendingInProgres = false;
    // A server that takes the connection and then fails, or a pending count
    // with no slot to send, would otherwise be retried without a pause.
    if (!all_sent) EngineSleep(kPollMs);
  }
}

}  // namespace tov
