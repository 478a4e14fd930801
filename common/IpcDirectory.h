// The link's registry in shared memory: which process is the monitor and
// which clients are running, in the order in which they registered.
//
// "CLIENT_DIRECTORY", MaxClients * 63 + 8 bytes, little-endian: Int32
// MonitorID (0 = none), Int32 Count, then Count entries of Int32 ID and a
// 59-byte name ended by a zero byte. Writes of entries are serialised by
// "DIRECTORY_MUTEX" across processes; reads take no lock. Positions are
// 1-based. Every read is kept inside MaxClients, whatever Count says.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/IpcLink.h"

namespace tov {

struct TClientEntry {
  static constexpr size_t kSize = 63;
  static constexpr size_t kNameRoom = 59;
  static constexpr size_t kMaxName = 58;
  int32_t ID = 0;
  std::string Name;
};

class TClientDirectory {
 public:
  static constexpr uint32_t kHeaderSize = 8;
  static constexpr uint32_t kMutexWaitMs = 2000;

  explicit TClientDirectory(int32_t max_clients);

  int32_t MaxClients() const { return max_clients_; }
  int32_t Count() const;
  // Position of the first entry with this id; -1 when there is none.
  int32_t IndexOf(int32_t id) const;
  // ID of the most recent registration still present; 0 when empty.
  int32_t LastClientID() const;
  // Registers a client: the new Count, or -1 when the mutex was not had in
  // time (nothing changes then). Raises "Maximum of %d clients allowed" when
  // full and "Duplicate client ID" when the id is present, also when another
  // process registered in the same moment.
  int32_t AddClient(int32_t id, std::string_view name);
  // Unregisters a client, moving the later ones down; false when it is not
  // registered or the mutex was not had in time.
  bool RemoveClient(int32_t id);
  // Unregisters every client for whose id gone() is true, in one step under
  // the mutex; the number removed (0 also when the mutex was not had).
  int32_t RemoveClientsWhere(const std::function<bool(int32_t id)>& gone);
  int32_t GetMonitorID() const;
  void SetMonitorID(int32_t id);
  // Registers id as the monitor in one step when none is registered; false
  // when another monitor is. Two monitors starting at once cannot both pass.
  bool ClaimMonitorID(int32_t id);
  // Replaces the monitor id stale by id in one step; false when the
  // directory no longer holds stale.
  bool TakeOverMonitorID(int32_t stale, int32_t id);
  // Clears the monitor id only while it is still this id.
  void ReleaseMonitorID(int32_t id);
  // The entry at a position; raises "Invalid client list index" outside 1 to Count.
  TClientEntry GetClient(int32_t position) const;
  // The name of the client with this id; empty when none.
  std::string ClientName(int32_t id) const;
  // All entries in directory order, read in one go.
  std::vector<TClientEntry> Entries() const;

 private:
  int32_t Clamped(int32_t count) const;
  int32_t Find(int32_t id, int32_t count) const;
  TClientEntry EntryAt(int32_t position) const;
  uint8_t* EntryBytes(int32_t position) const;

  int32_t max_clients_;
  std::unique_ptr<TMutex> mutex_;
  std::unique_ptr<TSharedMem> shared_mem_;
};

}  // namespace tov
