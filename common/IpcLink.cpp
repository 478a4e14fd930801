#include "common/IpcLink.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <chrono>
#include <map>
#include <thread>

#include "common/IpcThreads.h"

namespace tov {

static_assert(std::endian::native == std::endian::little, "shared blocks are little-endian");

void IPCError(const std::string& msg) { throw Exception(msg); }

std::string EventKindName(int32_t kind) {
  static const char* const kNames[] = {
      "evMonitorAttach", "evMonitorDetach", "evMonitorSignal", "evMonitorExit", "evClientStart", "evClientStop",
      "evClientAttach",  "evClientDetach",  "evClientSwitch",  "evClientSignal", "evClientExit",
  };
  if (kind >= 0 && kind <= evClientExit) return kNames[kind];
  return "TEventKind(" + IntToStr(kind) + ")";
}

void TIPCEventData::Encode(std::span<uint8_t> out) const {
  ByteWriter w(out.first(kSize));
  w.Put(Text);
  w.PutI32(Kind);
  w.PutU16(Flags);
}

TIPCEventData TIPCEventData::Decode(std::span<const uint8_t> in) {
  ByteReader r(in.first(std::min(in.size(), kSize)));
  TIPCEventData d;
  r.Get(d.Text);
  d.Kind = r.GetI32();
  d.Flags = r.GetU16();
  return d;
}

TIPCSharedEvent TIPCSharedEvent::Decode(std::span<const uint8_t> in) {
  ByteReader r(in);
  TIPCSharedEvent b;
  b.ID = r.GetI32();
  b.EventKind = r.GetI32();
  b.Data = TIPCEventData::Decode(in.subspan(r.Position()));
  return b;
}

// ---- events, mutexes, shared memory ----

namespace {

// A link folder that cannot be used goes on as it is, with its message that
// names the folder and the way to move it: the user can set that right.
template <typename T, typename... Args>
std::unique_ptr<NamedObject> OpenOrAbort(Args&&... args) {
  try {
    return std::make_unique<T>(std::forward<Args>(args)...);
  } catch (const ENamedObjectDirectoryError&) {
    throw;
  } catch (const ENamedObjectError&) {
    Abort();
  }
}

}  // namespace

TEvent::TEvent(const std::string& name, bool manual_reset)
    : THandledObject(OpenOrAbort<NamedEvent>(name, manual_reset)) {}

void TEvent::Reset() { Event().Reset(); }
void TEvent::Signal() { Event().Set(); }
bool TEvent::Wait(uint32_t timeout_ms) { return Event().Wait(timeout_ms) == kWaitObject0; }
int TEvent::WaitResult(uint32_t timeout_ms, const std::atomic<bool>* cancel) {
  return Event().Wait(timeout_ms, cancel);
}
void TEvent::WakeWaiters() { Event().WakeWaiters(); }
bool TEvent::IsSet() const { return Event().IsSet(); }

TMutex::TMutex(const std::string& name) : THandledObject(OpenOrAbort<NamedMutex>(name)) {}

int TMutex::WaitResult(uint32_t timeout_ms) { return Mutex().Wait(timeout_ms); }

bool TMutex::Get(uint32_t timeout_ms) {
  int r = Mutex().Wait(timeout_ms);
  if (r == kWaitAbandoned) Mutex().Release();
  return r == kWaitObject0;
}

bool TMutex::Release() { return Mutex().Release(); }

namespace {

std::unique_ptr<NamedObject> OpenMapping(const std::string& name, uint32_t size) {
  try {
    return std::make_unique<NamedMapping>(name, size);
  } catch (const ENamedObjectDirectoryError&) {
    throw;
  } catch (const ENamedObjectError& e) {
    IPCError(Format("Error creating shared memory %s (%d)", {name, static_cast<int64_t>(e.Code())}));
  }
}

}  // namespace

TSharedMem::TSharedMem(const std::string& name, uint32_t size)
    : THandledObject(OpenMapping(name, size)),
      name_(name),
      size_(size),
      buffer_(static_cast<NamedMapping&>(Handle()).Data()) {}

// ---- link events ----

namespace {

TIPCEvent::TBlockGuard& BlockGuard(const std::string& name) {
  static std::mutex guard;
  // Never destroyed: link threads that outlive main may still use their lock.
  static auto* locks = new std::map<std::string, std::unique_ptr<TIPCEvent::TBlockGuard>>;
  std::lock_guard<std::mutex> lock(guard);
  auto& slot = (*locks)[name];
  if (!slot) slot = std::make_unique<TIPCEvent::TBlockGuard>();
  return *slot;
}

// The record-pending byte: in the two bytes behind the record, which the
// record layout leaves unused. A sender sets it, the receiving link thread
// clears it once it has copied the block.
constexpr size_t kPendingOffset = TIPCSharedEvent::kDataOffset + TIPCEventData::kSize;
constexpr std::chrono::microseconds kHandOverWait{50000};
constexpr std::chrono::microseconds kTakeWaitStep{100};

std::atomic<TIPCEvent::TakeWaitSleep> g_take_wait_sleep{nullptr};

std::atomic_ref<int32_t> SharedInt(uint8_t* p) { return std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(p)); }

}  // namespace

TIPCEvent::TIPCEvent(TIPCThread* owner, const std::string& name, bool manual_reset)
    : TEvent(name, manual_reset),
      owner_(owner),
      shared_mem_(std::make_unique<TSharedMem>(Format("%s.Data", {name}), TIPCSharedEvent::kSize)),
      shared_block_(shared_mem_->Buffer()),
      block_guard_(&BlockGuard(name)) {}

TIPCSharedEvent TIPCEvent::ReadBlock() const {
  std::array<uint8_t, TIPCSharedEvent::kSize> copy;
  {
    std::lock_guard<std::mutex> lock(block_guard_->Lock);
    std::memcpy(copy.data(), shared_block_, copy.size());
  }
  return TIPCSharedEvent::Decode(copy);
}

TIPCSharedEvent TIPCEvent::TakeBlock() {
  std::array<uint8_t, TIPCSharedEvent::kSize> copy;
  {
    std::lock_guard<std::mutex> lock(block_guard_->Lock);
    std::memcpy(copy.data(), shared_block_, copy.size());
    std::atomic_ref<uint8_t>(shared_block_[kPendingOffset]).store(0);
  }
  return TIPCSharedEvent::Decode(copy);
}

void TIPCEvent::SignalRecord(int32_t kind, int32_t id, const TIPCEventData& data) {
  // Senders of this process go one at a time; the block lock is taken only to
  // write, so a receiver in this process can take the block meanwhile.
  std::lock_guard<std::mutex> sending(block_guard_->SendLock);
  std::atomic_ref<uint8_t> pending(shared_block_[kPendingOffset]);
  // Wait a moment for the receiver to take the record before this one, so a
  // report followed at once by another (a page, then the heartbeat) is not
  // lost. A receiver that does not take it in time (stopped, gone) is not
  // waited for again until it is seen to take one.
  if (pending.load() == 0) {
    block_guard_->Stalled = false;
  } else if (!block_guard_->Stalled) {
    block_guard_->Stalled = !TakenWithin(kHandOverWait);
  }
  {
    std::lock_guard<std::mutex> lock(block_guard_->Lock);
    SharedInt(shared_block_).store(id);
    data.Encode(std::span<uint8_t>(shared_block_ + TIPCSharedEvent::kDataOffset, TIPCEventData::kSize));
    SharedInt(shared_block_ + 4).store(kind);
    pending.store(1);
  }
  TEvent::Signal();
}

bool TIPCEvent::WaitTaken(uint32_t timeout_ms) { return TakenWithin(std::chrono::milliseconds(timeout_ms)); }

void TIPCEvent::SetTakeWaitSleep(TakeWaitSleep sleep) { g_take_wait_sleep = sleep; }

bool TIPCEvent::TakenWithin(std::chrono::microseconds timeout) {
  // Safeguard: bounded take wait. A receiver that never takes the record holds the sender no longer than asked.
  // Against the clock, not by counting sleeps: each short sleep lasts longer than it asks.
  std::atomic_ref<uint8_t> pending(shared_block_[kPendingOffset]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pending.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (TakeWaitSleep sleep = g_take_wait_sleep.load()) {
      sleep(kTakeWaitStep);
    } else {
      std::this_thread::sleep_for(kTakeWaitStep);
    }
  }
  return true;
}

void TIPCEvent::WriteHeader(int32_t kind, int32_t id) {
  SharedInt(shared_block_).store(id);
  SharedInt(shared_block_ + 4).store(kind);
}

void TIPCEvent::Signal(int32_t kind) { SignalID(kind, ID()); }

void TIPCEvent::SignalID(int32_t kind, int32_t id) {
  {
    std::lock_guard<std::mutex> lock(block_guard_->Lock);
    WriteHeader(kind, id);
  }
  TEvent::Signal();
}

void TIPCEvent::SignalData(int32_t kind, int32_t id, const TIPCEventData& data) {
  {
    std::lock_guard<std::mutex> lock(block_guard_->Lock);
    SharedInt(shared_block_).store(id);
    data.Encode(std::span<uint8_t>(shared_block_ + TIPCSharedEvent::kDataOffset, TIPCEventData::kSize));
    SharedInt(shared_block_ + 4).store(kind);
  }
  TEvent::Signal();
}

void TIPCEvent::SetFlags(uint16_t flags) {
  std::lock_guard<std::mutex> lock(block_guard_->Lock);
  ByteWriter w(std::span<uint8_t>(shared_block_ + TIPCSharedEvent::kDataOffset + 260, 2));
  w.PutU16(flags);
}

bool TIPCEvent::WaitFor(uint32_t timeout_ms, int32_t id, int32_t kind) {
  if (Wait(timeout_ms)) {
    TIPCSharedEvent block = TakeBlock();
    if (block.ID == id && block.EventKind == kind) return true;
  }
  if (owner_ != nullptr) {
    owner_->Trace(Format("Wait Failed %s Kind: %s ID: %x",
                         {owner_->ClassName(), EventKindName(kind), static_cast<int64_t>(id)}));
  }
  return false;
}

// ---- trace buffer ----

TIPCTracer::TIPCTracer(std::string_view id)
    : id_(id),
      trace_mem_(std::make_unique<TSharedMem>("TRACE_BUFFER", kBufferSize)),
      trace_mutex_(std::make_unique<TMutex>("TRACE_MUTEX")) {
  uint32_t empty = 0;
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(trace_mem_->Buffer())).compare_exchange_strong(empty, 4);
}

void TIPCTracer::Add(std::string_view msg) {
  int r = trace_mutex_->WaitResult(kMutexWaitMs);
  if (r != kWaitObject0 && r != kWaitAbandoned) return;
  uint8_t* buf = trace_mem_->Buffer();
  std::atomic_ref<uint32_t> used(*reinterpret_cast<uint32_t*>(buf));
  uint32_t at = used.load();
  if (at < 4 || at > kBufferSize) at = 4;  // a damaged offset starts the buffer over
  msg = msg.substr(0, kMaxMessage);
  uint32_t size = static_cast<uint32_t>(msg.size()) + kEntryOverhead;
  if (at + size > kBufferSize) at = 4;
  ByteWriter w(std::span<uint8_t>(buf + at, size));
  w.PutU32(size);
  w.PutU32(static_cast<uint32_t>(PerformanceCounter()));
  w.PutBytes(Format("%10S: %S", {id_.view(), msg}));
  w.PutZeros(2);
  used.store(at + size);
  trace_mutex_->Release();
}

}  // namespace tov
