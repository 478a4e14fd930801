#include "crawler/SideFileQueue.h"

#include <cerrno>
#include <filesystem>

#include "crawler/CrawlerEngine.h"
#include "crawler/EngineState.h"
#include "platform/Files.h"

namespace tov {

std::string SideFileName(const std::string& storage) { return PathJoin(PathJoin(WorkDir, SideFileFolder), storage); }

namespace {

void MoveAsideForFreshFile(const std::string& path, const std::string& why, const std::string& storage) {
  MoveSideFileAside(path, why + "; new entries for " + storage + " go to a fresh file");
}

// Safeguard: take-up destroys nothing. New entries are never appended behind, nor sent with, bytes the
// take-up could not read.
// Run when an address gets its slot, before anything is written to its file.
void MoveLeftAloneFilesAside(const std::string& storage) {
  auto it = EngineState.SideFilesLeftAlone.find(storage);
  if (it == EngineState.SideFilesLeftAlone.end()) return;
  for (const LeftAloneSideFile& f : it->second) {
    if (!NameInUse(f.Path)) continue;  // gone meanwhile
    try {
      MoveAsideForFreshFile(f.Path, f.Why, storage);
    } catch (const EInOutError& e) {
      CallErrorLogProc("Cant move side file " + f.Path + " aside: " + e.Message());
    }
  }
  EngineState.SideFilesLeftAlone.erase(it);
}

// Tries an open whose file turned out to be another name's gets before the
// append gives up (and its page waits to be tried again).
constexpr int kQueueFileOpenTries = 3;

// Safeguard: one name only. An append writes through no link and into no file with a second name, even one
// planted under the queue file's name while the crawler runs: that is moved aside, and a fresh file begun.
// The open file is what is judged, so a name planted between the look and the open is never written.
// A file that cannot be moved aside raises, so nothing is written into it.
TFile OpenQueueFile(const std::string& path, const std::string& storage) {
  for (int attempt = 0; attempt < kQueueFileOpenTries; ++attempt) {
    if (const std::string why = SideFileNameFault(path); !why.empty()) MoveAsideForFreshFile(path, why, storage);
    TFile file = TFile::OpenAppendRegular(path);
    if (OpenSideFileFault(file, path).empty()) return file;
  }
  throw EInOutError(IoCodeFromErrno(EBUSY));  // held by another name all along
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
  if (index < EngineState.SideFileOpenFiles.size()) EngineState.SideFileOpenFiles[index] = TFile();
}

void InitSideFileQueue() {
  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  for (TFile& file : EngineState.SideFileOpenFiles) file = TFile();
  EngineState.SideFilesLeftAlone.clear();
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
      MoveLeftAloneFilesAside(storage);
      slot.Used = true;
      slot.Server = storage;
      return i;
    }
  }
  MoveLeftAloneFilesAside(storage);
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
  for (const auto& entry : it) names.push_back(entry.path().filename().string());
  // Held for the whole take-up: the sender must not pick up a file that is
  // still being checked here.
  std::lock_guard<std::mutex> lock(SideFileQueueLock);
  struct TakenUp {
    std::string Server;
    std::string Path;
    int32_t Entries;
  };
  std::vector<TakenUp> taken;
  for (const std::string& name : names) {
    if (IsKeptSideFileName(name)) continue;  // logged when it was made
    std::string server = name;
    if (name.ends_with(SendingSuffix)) server.resize(name.size() - std::string_view(SendingSuffix).size());
    const std::string path = PathJoin(folder, name);
    if (!IsValidStorageAddress(server)) {
      CallErrorLogProc("Not a side file, left alone: " + path);
      continue;
    }
    try {
      SideFileCheck check = CheckSideFile(path);
      if (!check.LeftAlone.empty()) {
        CallErrorLogProc("Not a side file, left alone: " + path + " (" + check.LeftAlone + ")");
        EngineState.SideFilesLeftAlone[server].push_back({path, check.LeftAlone});
        continue;
      }
      taken.push_back({server, path, static_cast<int32_t>(check.EntryEnds.size())});
    } catch (const EInOutError& e) {
      CallErrorLogProc("Cant take up side file " + path + ": " + e.Message());
      EngineState.SideFilesLeftAlone[server].push_back({path, "it could not be taken up"});
    }
  }
  // Claimed only now, so that what was left alone beside a file taken up is
  // moved aside whatever the order of the names.
  for (const TakenUp& t : taken) {
    FileInfo& slot = SideFileSlots[ChooseSideFileSlot(t.Server)];
    slot.FileName = SideFileName(t.Server);
    slot.Count += t.Entries;
    SideFilePending += t.Entries;
    CallLogProc("Taking up " + std::to_string(t.Entries) + " entries left in " + t.Path);
  }
}

void AddToSideFileQueue(const ThumbnaleData& rec, bool logOpenFailure) {
  const std::string storage = rec.Storage.str();
  // Safeguard: address names a file. An address that could not name a file in sqtemp (a path, say) is refused.
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
  slot.FileName = SideFileName(storage);

  TFile once;
  TFile& file = index < EngineState.SideFileOpenFiles.size() ? EngineState.SideFileOpenFiles[index] : once;
  try {
    // A file deleted or replaced behind the queue's back would swallow what
    // follows, and one that got a second name meanwhile would write into that
    // name's file too: either is opened afresh, after a look at its name.
    if (file.IsOpen() && !OpenSideFileFault(file, slot.FileName).empty()) file = TFile();
    if (!file.IsOpen()) {
      try {
        file = OpenQueueFile(slot.FileName, storage);
      } catch (const EInOutError&) {
        if (logOpenFailure) CallErrorLogProc("cant write to SideFileQueue, file " + slot.FileName + " is locked.");
        throw;
      }
    }
    const int64_t whole = file.Size();
    try {
      file.Write(entry);
    } catch (...) {
      // Safeguard: partial append cut. Leave no partial entry behind for later appends to follow.
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
