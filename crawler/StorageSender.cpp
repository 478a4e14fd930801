#include "crawler/StorageSender.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>

#include "common/SharedGlobals.h"
#include "crawler/EngineState.h"
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

// One upload: the header, then the range's bytes in blocks of 2024 and the
// rest, all within the upload's deadline; a send that fails raises
// ESocketError saying how far the upload got.
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
  // Safeguard: bounded upload. An upload that falls below the floor pace is cut, however the server reads.
  const auto began = TClientSocket::Clock::now();
  const TStorageUploadPace pace = EngineState.StorageUploadPace;
  socket.SetSendFloor(std::chrono::milliseconds(pace.WindowMs), pace.WindowBytes());
  int64_t sent = 0;
  try {
    const std::string header = FormatStorageHeader(total, dedicated, DedicatedServerName, user);
    socket.SendText(header);
    sent += static_cast<int64_t>(header.size());
    const int64_t blocks = size / static_cast<int64_t>(StorageBlockSize);
    CallLogProc("Blocks " + Num(blocks));
    file.Seek(range.Begin);
    int64_t pos = range.Begin;
    char buffer[StorageBlockSize];
    for (int64_t b = 0; b < blocks; ++b) {
      file.ReadExact(buffer, StorageBlockSize);
      pos += static_cast<int64_t>(StorageBlockSize);
      socket.SendBuf(buffer, StorageBlockSize);
      sent += static_cast<int64_t>(StorageBlockSize);
      if (pos == file_end) CallLogProc("Eof");
    }
    const auto rest = static_cast<size_t>(size % static_cast<int64_t>(StorageBlockSize));
    CallLogProc("RestBlocks " + Num(static_cast<int64_t>(rest)));
    if (rest > 0) {
      file.ReadExact(buffer, rest);
      socket.SendBuf(buffer, rest);
    }
  } catch (const ESocketError& e) {
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(TClientSocket::Clock::now() - began).count();
    throw ESocketError(e.Message() + " after " + Num(sent) + " of " + Num(total) + " bytes, " + Num(took) +
                       " s into an upload that must move " + Num(pace.WindowBytes()) + " bytes in every " +
                       Num(pace.WindowMs / 1000) + " s");
  }
  CallLogProc("TransmitionSizeInByter " + Num(total));
}

// Checks, sends and deletes one sending file; returns its number of entries.
// Any failure raises and leaves the file where it is. One that cannot be
// sent at all (not a regular file, or no whole entry at its start) is moved
// aside, so that the slot's next file can take its name.
int32_t SendQueueFile(const std::string& server, const std::string& path, int32_t dedicated) {
  SideFileCheck check = CheckSideFile(path);
  // Safeguard: sending name checked. What is no queue file under a sending name is kept aside, and cannot
  // stall its slot.
  if (!check.LeftAlone.empty()) {
    MoveSideFileAside(path, check.LeftAlone);
    return 0;
  }
  // Safeguard: split uploads. A file too large for one upload goes as several, each of whole entries.
  const std::vector<UploadRange> uploads = SplitIntoUploads(check.EntryEnds, MaxStorageUploadSize);
  CallLogProc(path);
  // What goes out is read through the checked file, whatever its name holds by now.
  TFile& file = check.File;
  for (size_t k = 0; k < uploads.size(); ++k) {
    std::unique_ptr<TClientSocket> socket = ConnectToStorageServer(server);
    try {
      if (k == 0) CallLogProc("opening file");
      SendUpload(*socket, file, uploads[k], check.WholeSize, server, dedicated);
    } catch (...) {
      // A reset, so the server cannot take the part it got for a whole upload.
      socket->Abort();
      throw;
    }
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

// What the sender keeps between passes about the servers that failed.
struct ServerStanding {
  // Named in the error log as unreachable, and not taken a connection since.
  std::set<std::string> Unreachable;
  // Their last try failed (no connection, an upload that failed or was cut):
  // visited after the others until they take an upload whole.
  std::set<std::string> Behind;
};

enum class SlotOutcome { Sent, Failed, Stopped };

// How many entries wait in a slot.
int32_t EntriesWaitingIn(size_t index) {
  bool exists = false;
  return SlotSnapshot(index, exists).Count;
}

// Sends one slot; a failure is logged once, naming the server, and leaves the
// slot's file and count for a later pass.
SlotOutcome VisitSlot(size_t index, const std::string& server, int32_t dedicated, ServerStanding& standing) {
  std::string failure;  // what the error-log line says went wrong; empty: no line
  std::string then = "it is tried after the other servers";
  try {
    SendSlot(index, dedicated);
    standing.Unreachable.erase(server);
    standing.Behind.erase(server);
    return SlotOutcome::Sent;
  } catch (const StorageServerUnreachable&) {
    // Named once, until it takes a connection again.
    if (standing.Unreachable.insert(server).second) {
      failure = "Storage server " + server + " could not be reached (" + Num(StorageConnectTries) + " tries)";
    }
    then = "it is tried again on later passes";
  } catch (const SendingStopped&) {
    return SlotOutcome::Stopped;
  } catch (const EInOutError& e) {
    failure = "SentTilLagringserver error: " + e.Message() + " (storage server " + server + ")";
  } catch (...) {
    failure = "Exception in SentTilLagringserver: " + CurrentExceptionClassName() + ": storage server " + server + ": " +
              CurrentExceptionMessage();
  }
  if (!failure.empty()) {
    CallErrorLogProc(failure + "; its " + Num(EntriesWaitingIn(index)) + " entries are kept and " + then);
  }
  standing.Behind.insert(server);
  return SlotOutcome::Failed;
}

// One walk over the table: first every slot whose server is not behind, in
// index order (slots claimed meanwhile included), then those that are. A
// set stop flag ends it. True when the pass sent at least one slot and every
// slot it visited.
bool SendPass(int32_t dedicated, ServerStanding& standing) {
  bool all_sent = true;
  int visited = 0;
  // The slot's server when it has entries to send; empty otherwise.
  auto server_with_entries = [](size_t i, bool& exists) {
    const FileInfo slot = SlotSnapshot(i, exists);
    return slot.Used && slot.Count > 0 ? slot.Server : std::string();
  };
  // False once the stop flag ended the pass.
  auto visit = [&](size_t i, const std::string& server) {
    ++visited;
    const SlotOutcome outcome = VisitSlot(i, server, dedicated, standing);
    all_sent = all_sent && outcome == SlotOutcome::Sent;
    return outcome != SlotOutcome::Stopped;
  };
  // Safeguard: failed servers last. A server that failed holds up the others' entries once, not every pass.
  std::vector<size_t> behind;
  bool exists = true;
  for (size_t i = 0; exists; ++i) {
    const std::string server = server_with_entries(i, exists);
    if (server.empty()) continue;
    if (standing.Behind.count(server) > 0) {
      behind.push_back(i);
    } else if (!visit(i, server)) {
      return false;
    }
  }
  for (size_t i : behind) {
    const std::string server = server_with_entries(i, exists);
    if (!server.empty() && !visit(i, server)) return false;
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
  ServerStanding standing;
  while (!StopCrawling) {
    const int32_t dedicated = DedicatedServer ? 1 : 0;
    if (PendingSideFileCount() <= StorageSendThreshold) {
      EngineSleep(kPollMs);
      continue;
    }
    SendingInProgres = true;
    bool all_sent = false;
    try {
      all_sent = SendPass(dedicated, standing);
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
