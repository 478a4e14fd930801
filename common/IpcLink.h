// The interprocess link's building blocks: named events, mutexes and shared
// memory, the message record that one signal carries, the 272-byte shared
// block that travels with each link event, and the shared trace buffer.
// The client directory is in IpcDirectory.h, the link threads in IpcThreads.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/ByteCodec.h"
#include "platform/NamedObjects.h"
#include "platform/SysUtils.h"

namespace tov {

class TIPCThread;

// Raises the base exception with msg; the link's errors are raised this way.
[[noreturn]] void IPCError(const std::string& msg);

// A second monitor tried to register; raised with an empty message.
TOV_DECLARE_EXCEPTION(EMonitorActive, Exception);

enum TEventKind : int32_t {
  evMonitorAttach = 0,
  evMonitorDetach = 1,
  evMonitorSignal = 2,
  evMonitorExit = 3,
  evClientStart = 4,
  evClientStop = 5,
  evClientAttach = 6,
  evClientDetach = 7,
  evClientSwitch = 8,
  evClientSignal = 9,
  evClientExit = 10,
};

// The kind's name as trace lines show it; a value outside 0 to 10, which only
// a damaged block can hold, gives "TEventKind(<value>)".
std::string EventKindName(int32_t kind);

// The message record of one signal, 262 bytes: string[255] text, Int32
// application kind, 16-bit flag word.
struct TIPCEventData {
  static constexpr size_t kSize = 262;
  ShortString<255> Text;
  int32_t Kind = 0;
  uint16_t Flags = 0;

  void Encode(std::span<uint8_t> out) const;
  static TIPCEventData Decode(std::span<const uint8_t> in);
};

// The shared block of one link event, 272 bytes: Int32 ID, Int32 EventKind,
// the record; the last two bytes are never written.
struct TIPCSharedEvent {
  static constexpr size_t kSize = 272;
  static constexpr size_t kDataOffset = 8;
  int32_t ID = 0;
  int32_t EventKind = 0;
  TIPCEventData Data;

  static TIPCSharedEvent Decode(std::span<const uint8_t> in);
};

// Owns one named object and closes it when destroyed.
class THandledObject {
 public:
  bool HasHandle() const { return handle_ != nullptr; }

 protected:
  explicit THandledObject(std::unique_ptr<NamedObject> handle) : handle_(std::move(handle)) {}
  ~THandledObject() = default;
  NamedObject& Handle() const { return *handle_; }

 private:
  std::unique_ptr<NamedObject> handle_;
};

// A named event, created not signalled or opened as it stands. Raises the
// silent abort when it can be neither created nor opened, and
// ENamedObjectDirectoryError when the link folder cannot be used.
class TEvent : public THandledObject {
 public:
  TEvent(const std::string& name, bool manual_reset);
  void Reset();
  void Signal();
  // True only when the event was signalled within timeout_ms.
  bool Wait(uint32_t timeout_ms);
  // The wait result itself; with cancel, a raised flag ends the wait with
  // kWaitInterrupted once no signal is pending.
  int WaitResult(uint32_t timeout_ms, const std::atomic<bool>* cancel = nullptr);
  // Wakes this process's waiters so they look at their cancel flags.
  void WakeWaiters();
  bool IsSet() const;

 protected:
  NamedEvent& Event() const { return static_cast<NamedEvent&>(Handle()); }
};

// A named mutex, created not owned. Raises the silent abort when it can be
// neither created nor opened, and ENamedObjectDirectoryError when the link
// folder cannot be used.
class TMutex : public THandledObject {
 public:
  explicit TMutex(const std::string& name);
  // True only when ownership came normally. A mutex abandoned by a dead owner
  // counts as not had; it is released again at once so that it stays usable.
  bool Get(uint32_t timeout_ms);
  bool Release();
  // The wait result itself: on kWaitObject0 and kWaitAbandoned the caller owns it.
  int WaitResult(uint32_t timeout_ms);

 private:
  NamedMutex& Mutex() const { return static_cast<NamedMutex&>(Handle()); }
};

// A named shared memory mapped whole. New ones start zero-filled; existing
// ones keep their content. Raises "Error creating shared memory %s (%d)", and
// ENamedObjectDirectoryError when the link folder cannot be used.
class TSharedMem : public THandledObject {
 public:
  TSharedMem(const std::string& name, uint32_t size);
  const std::string& Name() const { return name_; }
  uint32_t Size() const { return size_; }
  uint8_t* Buffer() const { return buffer_; }
  std::span<uint8_t> Bytes() const { return {buffer_, size_}; }

 private:
  std::string name_;
  uint32_t size_;
  uint8_t* buffer_;
};

// A link event with its shared block "<name>.Data". Writes to the block are
// serialised among all threads of this process (whatever link object they
// go through), and readers in this process take whole blocks, so no record
// written or read here is ever a mix of two.
class TIPCEvent : public TEvent {
 public:
  struct TBlockGuard {
    std::mutex Lock;       // whole-block reads and writes
    std::mutex SendLock;   // one record sender at a time
    bool Stalled = false;  // the receiver left the last record untaken (under SendLock)
  };

  // owner may be null: then failed waits are not traced.
  TIPCEvent(TIPCThread* owner, const std::string& name, bool manual_reset);

  // The sender id that Signal writes; 0 until the owner sets it.
  int32_t ID() const { return id_.load(); }
  void SetID(int32_t id) { id_ = id; }
  TIPCThread* Owner() const { return owner_; }
  TSharedMem& SharedMem() const { return *shared_mem_; }

  int32_t GetID() const { return ReadBlock().ID; }
  int32_t GetKind() const { return ReadBlock().EventKind; }
  TIPCEventData GetUserData() const { return ReadBlock().Data; }
  TIPCSharedEvent ReadBlock() const;
  // The block as the receiving link thread takes it after a wake-up: a copy,
  // and the record marked as taken.
  TIPCSharedEvent TakeBlock();

  // Block ID := own ID; EventKind := kind; set the event.
  void Signal(int32_t kind);
  // Block ID := id; EventKind := kind; set the event.
  void SignalID(int32_t kind, int32_t id);
  // Block ID := id; Data := data; EventKind := kind; set the event.
  void SignalData(int32_t kind, int32_t id, const TIPCEventData& data);
  // SignalData for a message record: first waits (at most 50 ms) for the
  // receiver to take the record before, which a one-slot block would
  // otherwise overwrite unread.
  void SignalRecord(int32_t kind, int32_t id, const TIPCEventData& data);
  // Waits up to timeout_ms for the receiver to take the record last sent with
  // SignalRecord; false when it is still untaken.
  bool WaitTaken(uint32_t timeout_ms);
  // The short sleep that the waits for a take repeat. Tests put in one that
  // sleeps longer than asked, as a busy machine's does; the programs never
  // change it. nullptr restores the real sleep.
  using TakeWaitSleep = void (*)(std::chrono::microseconds);
  static void SetTakeWaitSleep(TakeWaitSleep sleep);
  // Writes flags into the record in the block; signals nothing.
  void SetFlags(uint16_t flags);

  // True when the event came within timeout_ms and the block then holds
  // exactly this id and kind; otherwise traces the "Wait Failed" line. A
  // wake-up that does not match is used up.
  bool WaitFor(uint32_t timeout_ms, int32_t id, int32_t kind);

 private:
  void WriteHeader(int32_t kind, int32_t id);
  bool TakenWithin(std::chrono::microseconds timeout);

  TIPCThread* owner_;
  std::atomic<int32_t> id_{0};
  std::unique_ptr<TSharedMem> shared_mem_;
  uint8_t* shared_block_;
  TBlockGuard* block_guard_;  // shared by every TIPCEvent of this name in the process
};

// Appends lines to the shared trace buffer "TRACE_BUFFER" under "TRACE_MUTEX".
class TIPCTracer {
 public:
  static constexpr uint32_t kBufferSize = 204800;
  static constexpr uint32_t kEntryOverhead = 28;
  // The longest message an entry can hold; longer ones are cut to it.
  static constexpr uint32_t kMaxMessage = kBufferSize - 4 - kEntryOverhead;
  // How long Add waits for the mutex before it drops the line, so that a
  // stopped process holding it cannot stall a link thread for good.
  static constexpr uint32_t kMutexWaitMs = 2000;

  // Labelled with the first 10 characters of id.
  explicit TIPCTracer(std::string_view id);
  const ShortString<10>& ID() const { return id_; }
  void Add(std::string_view msg);

 private:
  ShortString<10> id_;
  std::unique_ptr<TSharedMem> trace_mem_;
  std::unique_ptr<TMutex> trace_mutex_;
};

}  // namespace tov
