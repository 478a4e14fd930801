#include "crawler/SideFileQueue.h"

#include <array>
#include <filesystem>

#include "crawler/CrawlerEngine.h"
#include "platform/Files.h"

namespace tov {

std::vector<FileInfo> SideFileSlots(SideFileInitialSlots);
std::mutex SideFileQueueLock;

namespace {

// The first slots keep their queue file open from append to append (opening
// and closing it for each entry costs more than the write); a crawl has a
// few storage servers, and no run of storage addresses can use up the
// process's files. Under SideFileQueueLock.
constexpr size_t kKeptOpenSlots = 16;
std::array<TFile, kKeptOpenSlots> g_open_files;

std::string QueueFileName(const std::string& storage) {
  return PathJoin(PathJoin(WorkDir, SideFileFolder), storage);
}

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

bool IsValidStorageAddress(std::string_view address) {
  if (address.empty() || address.front() == '.') return false;
  for (char c : address) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
              c == ':';
    if (!ok) return false;
  }
  return true;
}

void CloseSideFileHandle(size_t index) {
  if (index < g_open_files.size()) g_open_files[index] = TFile();
}

void InitSideFileQueue() {
  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  for (TFile& file : g_open_files) file = TFile();
  SideFileSlots.resize(SideFileInitialSlots);
  for (auto& slot : SideFileSlots) {
    slot.Used = false;
    slot.Count = 0;
    slot.Server.clear();
  }
}

size_t ChooseSideFileSlot(const std::string& storage) {
  for (size_t i = 0; i < SideFileSlots.size(); ++i) {
    FileInfo& slot = SideFileSlots[i];
    if (slot.Used && slot.Server == storage) return i;
    if (!slot.Used) {
      slot.Used = true;
      slot.Server = storage;
      return i;
    }
  }
  SideFileSlots.push_back(FileInfo{true, storage, {}, 0});
  return SideFileSlots.size() - 1;
}

void TakeUpSideFiles() {
  namespace fs = std::filesystem;
  const std::string folder = PathJoin(WorkDir, SideFileFolder);
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return;  // no folder: nothing was left
  std::vector<std::string> names;
  for (const auto& entry : it) {
    if (entry.is_regular_file(ec)) names.push_back(entry.path().filename().string());
  }
  // Held for the whole take-up: the sender must not pick up a file that is
  // still being checked here.
  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  for (const std::string& name : names) {
    std::string server = name;
    if (EndsWith(name, SendingSuffix)) server.resize(name.size() - std::string_view(SendingSuffix).size());
    if (!IsValidStorageAddress(server)) {
      CallErrorLogProc("Not a side file, left alone: " + PathJoin(folder, name));
      continue;
    }
    try {
      SideFileCheck check = CheckSideFile(PathJoin(folder, name));
      auto entries = static_cast<int32_t>(check.EntryEnds.size());
      FileInfo& slot = SideFileSlots[ChooseSideFileSlot(server)];
      slot.FileName = QueueFileName(server);
      slot.Count += entries;
      SideFilePending += entries;
      CallLogProc("Taking up " + std::to_string(entries) + " entries left in " + PathJoin(folder, name));
    } catch (const EInOutError& e) {
      CallErrorLogProc("Cant take up side file " + PathJoin(folder, name) + ": " + e.Message());
    }
  }
}

std::string SideFileName(const std::string& storage) { return QueueFileName(storage); }

void AddToSideFileQueue(const ThumbnaleData& rec, bool logOpenFailure) {
  const std::string storage = rec.Storage.str();
  if (!IsValidStorageAddress(storage)) {
    CallErrorLogProc("Entry for " + rec.Url.str() + " not queued: storage address \"" + storage +
                     "\" cannot name a side file");
    return;
  }
  // Built before the lock is taken; the lock covers only the table and the file.
  const std::string entry = EncodeSideFileEntry(rec);

  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  const size_t index = ChooseSideFileSlot(storage);
  FileInfo& slot = SideFileSlots[index];
  slot.Count += 1;
  SideFilePending += 1;
  slot.FileName = QueueFileName(storage);

  TFile once;
  TFile& file = index < g_open_files.size() ? g_open_files[index] : once;
  // A file deleted behind the queue's back would swallow what follows.
  if (file.IsOpen() && file.Unlinked()) file = TFile();
  try {
    if (!file.IsOpen()) {
      try {
        file = TFile::OpenAppend(slot.FileName);
      } catch (const EInOutError&) {
        if (logOpenFailure) CallErrorLogProc("cant write to SideFileQueue, file " + slot.FileName + " is locked.");
        throw;
      }
    }
    const int64_t whole = file.Size();
    try {
      file.Write(entry);
    } catch (...) {
      // Leave no partial entry behind for later appends to follow.
      try {
        file.Truncate(whole);
      } catch (...) {
      }
      throw;
    }
  } catch (...) {
    // Count only what the file holds (the caller keeps the page), and open
    // it afresh next time.
    slot.Count -= 1;
    SideFilePending -= 1;
    file = TFile();
    throw;
  }
  if (&file == &once) file.Close();
}

}  // namespace tov
