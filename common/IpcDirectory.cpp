#include "common/IpcDirectory.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace tov {

namespace {

std::atomic_ref<int32_t> SharedInt(uint8_t* p) { return std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(p)); }

// Holds "DIRECTORY_MUTEX" for one write; Had() is false when it was not had in time.
class DirectoryLock {
 public:
  explicit DirectoryLock(TMutex& mutex) : mutex_(mutex), had_(mutex.Get(TClientDirectory::kMutexWaitMs)) {}
  ~DirectoryLock() {
    if (had_) mutex_.Release();
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  bool Had() const { return had_; }

 private:
  TMutex& mutex_;
  bool had_;
};

TClientEntry DecodeEntry(std::span<const uint8_t> bytes) {
  ByteReader r(bytes);
  TClientEntry e;
  e.ID = r.GetI32();
  std::string room = r.GetBytes(TClientEntry::kNameRoom);
  e.Name = room.substr(0, room.find('\0'));
  return e;
}

}  // namespace

TClientDirectory::TClientDirectory(int32_t max_clients)
    : max_clients_(std::max(max_clients, 0)),
      mutex_(std::make_unique<TMutex>("DIRECTORY_MUTEX")),
      shared_mem_(std::make_unique<TSharedMem>(
          "CLIENT_DIRECTORY", static_cast<uint32_t>(max_clients_) * TClientEntry::kSize + kHeaderSize)) {}

int32_t TClientDirectory::Clamped(int32_t count) const { return std::clamp(count, 0, max_clients_); }

int32_t TClientDirectory::Count() const { return Clamped(SharedInt(shared_mem_->Buffer() + 4).load()); }

uint8_t* TClientDirectory::EntryBytes(int32_t position) const {
  return shared_mem_->Buffer() + kHeaderSize + static_cast<size_t>(position - 1) * TClientEntry::kSize;
}

TClientEntry TClientDirectory::EntryAt(int32_t position) const {
  return DecodeEntry(std::span<const uint8_t>(EntryBytes(position), TClientEntry::kSize));
}

int32_t TClientDirectory::Find(int32_t id, int32_t count) const {
  for (int32_t p = 1; p <= count; ++p) {
    if (ByteReader(std::span<const uint8_t>(EntryBytes(p), 4)).GetI32() == id) return p;
  }
  return -1;
}

int32_t TClientDirectory::IndexOf(int32_t id) const { return Find(id, Count()); }

int32_t TClientDirectory::LastClientID() const {
  int32_t count = Count();
  return count <= 0 ? 0 : EntryAt(count).ID;
}

int32_t TClientDirectory::AddClient(int32_t id, std::string_view name) {
  auto check = [&] {
    if (Count() >= max_clients_) IPCError(Format("Maximum of %d clients allowed", {static_cast<int64_t>(max_clients_)}));
    if (IndexOf(id) > 0) IPCError("Duplicate client ID");
  };
  check();
  DirectoryLock lock(*mutex_);
  if (!lock.Had()) return -1;
  // Another process may have registered between the first check and the lock.
  check();
  int32_t count = Count();
  ByteWriter w(std::span<uint8_t>(EntryBytes(count + 1), TClientEntry::kSize));
  w.PutI32(id);
  std::string_view kept = name.substr(0, TClientEntry::kMaxName);
  w.PutBytes(kept);
  w.PutZeros(TClientEntry::kNameRoom - kept.size());
  SharedInt(shared_mem_->Buffer() + 4).store(count + 1);
  return count + 1;
}

int32_t TClientDirectory::RemoveClientsWhere(const std::function<bool(int32_t id)>& gone) {
  DirectoryLock lock(*mutex_);
  if (!lock.Had()) return 0;
  int32_t count = Count();
  int32_t removed = 0;
  for (int32_t p = count; p >= 1; --p) {
    if (!gone(EntryAt(p).ID)) continue;
    if (p < count) {
      std::memmove(EntryBytes(p), EntryBytes(p + 1), static_cast<size_t>(count - p) * TClientEntry::kSize);
    }
    --count;
    ++removed;
  }
  if (removed > 0) SharedInt(shared_mem_->Buffer() + 4).store(count);
  return removed;
}

bool TClientDirectory::RemoveClient(int32_t id) {
  if (IndexOf(id) < 0) return false;
  DirectoryLock lock(*mutex_);
  if (!lock.Had()) return false;
  // Looked up again under the lock: a removal by another process may have
  // moved the entry since.
  int32_t count = Count();
  int32_t p = Find(id, count);
  if (p < 0) return false;
  if (p < count) {
    std::memmove(EntryBytes(p), EntryBytes(p + 1), static_cast<size_t>(count - p) * TClientEntry::kSize);
  }
  SharedInt(shared_mem_->Buffer() + 4).store(count - 1);
  return true;
}

int32_t TClientDirectory::GetMonitorID() const { return SharedInt(shared_mem_->Buffer()).load(); }

void TClientDirectory::SetMonitorID(int32_t id) { SharedInt(shared_mem_->Buffer()).store(id); }

bool TClientDirectory::ClaimMonitorID(int32_t id) {
  int32_t none = 0;
  return SharedInt(shared_mem_->Buffer()).compare_exchange_strong(none, id);
}

bool TClientDirectory::TakeOverMonitorID(int32_t stale, int32_t id) {
  return SharedInt(shared_mem_->Buffer()).compare_exchange_strong(stale, id);
}

void TClientDirectory::ReleaseMonitorID(int32_t id) {
  SharedInt(shared_mem_->Buffer()).compare_exchange_strong(id, 0);
}

TClientEntry TClientDirectory::GetClient(int32_t position) const {
  if (position < 1 || position > Count()) IPCError("Invalid client list index");
  return EntryAt(position);
}

std::string TClientDirectory::ClientName(int32_t id) const {
  int32_t p = IndexOf(id);
  return p < 0 ? std::string() : EntryAt(p).Name;
}

std::vector<TClientEntry> TClientDirectory::Entries() const {
  // The count is read as writers store it, and the monitor's id before it not
  // at all: monitors claim and release that word with atomic operations at
  // any time, which a plain copy of the header would race with.
  const int32_t count = Count();
  std::vector<uint8_t> copy(EntryBytes(1), EntryBytes(1) + static_cast<size_t>(count) * TClientEntry::kSize);
  std::vector<TClientEntry> entries;
  for (int32_t p = 1; p <= count; ++p) {
    const size_t at = static_cast<size_t>(p - 1) * TClientEntry::kSize;
    entries.push_back(DecodeEntry(std::span<const uint8_t>(copy).subspan(at, TClientEntry::kSize)));
  }
  return entries;
}

}  // namespace tov
