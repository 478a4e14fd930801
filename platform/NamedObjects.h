// Named objects shared between the processes of one user: memory mappings,
// events and mutexes, each a file in a per-user directory mapped with mmap.
//
// An object lives as long as some process holds it open. Every opener holds a
// shared flock on the object's file; an opener that can take the lock
// exclusively knows it is alone and makes the object fresh and zero-filled.
// A process that dies drops its locks with its descriptors, so what it held
// is fresh for the next opener once every other holder has closed it too.
// Openings are serialised by a lock on the directory itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/SysUtils.h"

namespace tov {

// Wait results, with the values the link's protocol knows them by.
inline constexpr int kWaitObject0 = 0;          // signalled, or the mutex is now owned
inline constexpr int kWaitAbandoned = 0x80;     // owned, but its previous owner died holding it
inline constexpr int kWaitInterrupted = 0xC0;   // the caller's cancel flag was raised
inline constexpr int kWaitTimeout = 0x102;
inline constexpr int kWaitFailed = -1;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// A named object that could be neither created nor opened; Code() is the errno.
class ENamedObjectError : public Exception {
 public:
  ENamedObjectError(std::string message, int code) : Exception(std::move(message)), code_(code) {}
  int Code() const { return code_; }
  const char* ClassName() const override { return "ENamedObjectError"; }

 private:
  int code_;
};

// The directory of the objects cannot be used. The message names it and the
// variable that moves it, for the user to read.
class ENamedObjectDirectoryError : public ENamedObjectError {
 public:
  using ENamedObjectError::ENamedObjectError;
  const char* ClassName() const override { return "ENamedObjectDirectoryError"; }
};

// Where the objects live: $TOV_IPC_DIR when set (tests move it there), else
// $XDG_RUNTIME_DIR/tovrane, else ~/.tovrane-link in the user's home ($HOME,
// else the home of the password database); empty when there is no home. It
// is created with mode 0700 when missing. One that belongs to another user,
// that others may write into, or that is a symbolic link is refused with
// ENamedObjectDirectoryError; one that others can only enter is closed to them.
std::string NamedObjectDirectory();

// One open named object: its file, its lock and its mapping. Closing it (the
// destructor) unmaps the view and drops the lock.
class NamedObject {
 public:
  virtual ~NamedObject();
  NamedObject(const NamedObject&) = delete;
  NamedObject& operator=(const NamedObject&) = delete;
  const std::string& Name() const { return name_; }
  // True when this opener found the object gone and made it afresh.
  bool Fresh() const { return fresh_; }

 protected:
  // Opens "<kind>.<name>" with room for size bytes; init runs on the fresh,
  // zero-filled bytes before any other process can open the object.
  NamedObject(std::string_view kind, std::string_view name, size_t size, void (*init)(void* base, const void* arg),
              const void* arg);
  void* Base() const { return base_; }
  size_t MappedSize() const { return size_; }

 private:
  std::string name_;
  int fd_ = -1;
  void* base_ = nullptr;
  size_t size_ = 0;
  bool fresh_ = false;
};

// A page of shared bytes: new ones start zero-filled, existing ones keep
// their content. Opening an existing mapping that is smaller than size fails.
class NamedMapping : public NamedObject {
 public:
  NamedMapping(std::string_view name, size_t size);
  uint8_t* Data() const { return static_cast<uint8_t*>(Base()); }
  size_t Size() const { return MappedSize(); }
};

// An event that threads of any process can wait for. An auto-reset event
// lets one waiter through per Set and resets itself; a manual-reset one stays
// set until Reset. For an existing event the reset mode of its creator holds.
class NamedEvent : public NamedObject {
 public:
  NamedEvent(std::string_view name, bool manual_reset);
  void Set();
  void Reset();
  // kWaitObject0, kWaitTimeout, kWaitFailed, or kWaitInterrupted once *cancel
  // is true (checked after the event's own state, so a pending signal is
  // always taken first). kInfinite waits without limit.
  int Wait(uint32_t timeout_ms, const std::atomic<bool>* cancel = nullptr);
  // Makes every current waiter look at its cancel flag again; waiters that
  // find theirs down go back to sleep.
  void WakeWaiters();
  bool ManualReset() const;
  // Whether the event is set: for an auto-reset event, whether a signal is
  // still waiting to be taken by a waiter.
  bool IsSet() const;
};

// A mutex that threads of any process can own, recursively. When its owner
// dies, the next waiter gets it with kWaitAbandoned and owns it.
class NamedMutex : public NamedObject {
 public:
  explicit NamedMutex(std::string_view name);
  // kWaitObject0, kWaitAbandoned, kWaitTimeout or kWaitFailed.
  int Wait(uint32_t timeout_ms);
  // False when the calling thread does not own it.
  bool Release();
};

// The high-resolution performance counter: CLOCK_MONOTONIC in nanoseconds.
uint64_t PerformanceCounter();

}  // namespace tov
