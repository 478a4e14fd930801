// The link threads. Each program runs one: the monitor a TIPCMonitor, the
// crawler a TIPCClient. A link thread waits on its named event, carries out
// the attach and detach handshakes and hands every message record that
// reaches it to its owner's handlers, on the link thread itself. The monitor
// attaches to one client at a time, the current client; messages flow only
// between the monitor and that client, and each is dropped at the sender
// unless the sender is attached. Trace lines go to the shared trace buffer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/IpcDirectory.h"
#include "common/IpcLink.h"

namespace tov {

enum TIPCState : int32_t { stInactive = 0, stActive = 1, stConnected = 2 };

using TIPCSignalEvent = std::function<void(TIPCThread* sender, const TIPCEventData& data)>;
using TIPCConnectEvent = std::function<void(TIPCThread* sender, bool connected)>;
using TIPCNotifyEvent = std::function<void(TIPCThread* sender)>;

// A link object and its thread; the thread runs from Activate on.
//
// Made with Create and held in an Owned pointer, whose release frees it:
// Deactivate, then delete. A thread cannot be killed, so when it has not
// ended within 2000 ms (a handler that blocks, say) the object's handlers are
// dropped and the thread deletes the object itself once it ends; nothing it
// still uses is freed under it. An object whose thread never started is
// simply deleted.
class TIPCThread {
 public:
  struct Free {
    void operator()(TIPCThread* link) const;
  };
  template <class T>
  using Owned = std::unique_ptr<T, Free>;
  template <class T>
  static Owned<T> Create(int32_t id, std::string name) {
    return Owned<T>(new T(id, std::move(name)));
  }

  static constexpr int32_t kMaxClients = 6;
  static constexpr uint32_t kHandshakeWaitMs = 2000;
  static constexpr uint32_t kEndWaitMs = 2000;

  TIPCThread(const TIPCThread&) = delete;
  TIPCThread& operator=(const TIPCThread&) = delete;

  virtual void Activate() = 0;
  virtual void Deactivate() = 0;
  virtual const char* ClassName() const = 0;

  int32_t ID() const { return id_; }
  const std::string& Name() const { return name_; }
  TIPCState State() const { return state_.load(); }
  void SetOnSignal(TIPCSignalEvent handler);
  void SetOnConnect(TIPCConnectEvent handler);
  void Trace(std::string_view msg);

 protected:
  // Labels the tracer with name for a monitor, else with id as 8 hex digits;
  // opens the three events and the directory. Raises when any cannot be made.
  TIPCThread(int32_t id, std::string name, bool label_with_name);
  virtual ~TIPCThread();
  virtual void Execute() = 0;
  virtual void DropHandlers();

  void SetState(TIPCState state) { state_ = state; }
  // State := 1 and a run of Execute on a new thread; when no thread can be
  // made, undoes the caller's registration, State := 0 and raises.
  void StartThread(const std::function<void()>& undo_registration);
  bool ThreadRunning() const;
  // Waits for the end of a run that has left its loop (State is 0 then);
  // false when it is still running after the wait.
  bool PreviousRunEnded();
  // Raises the exit flag the loop waits with: a thread ends on its own
  // object's Deactivate even when another sender overwrote the exit signal
  // in the shared block, and an exit signal left behind ends nothing.
  void RequestExit() { exit_requested_ = true; }
  // Wakes the thread's waits and waits up to 2000 ms for it to end (never
  // when called on the thread itself).
  void EndThread();
  bool ExitRequested() const { return exit_requested_.load(); }
  const std::atomic<bool>* ExitFlag() const { return &exit_requested_; }

  void DoSignal(const TIPCEventData& data);
  void DoConnect(bool connected);
  // Traces the exception being handled, on the link thread.
  void TraceException();

  std::unique_ptr<TIPCTracer> Tracer;
  std::unique_ptr<TIPCEvent> ClientEvent;   // "CLIENT_EVENT", auto-reset: monitor to attached client
  std::unique_ptr<TIPCEvent> MonitorEvent;  // "MONITOR_EVENT", auto-reset: everything to the monitor
  std::unique_ptr<TIPCEvent> ConnectEvent;  // "CONNECT_EVENT", manual-reset: attach requests
  std::unique_ptr<TClientDirectory> Directory;
  std::mutex handlers_mutex_;

 private:
  class Worker;
  void Run();
  bool WaitForEnd(uint32_t timeout_ms);

  const int32_t id_;
  const std::string name_;
  std::atomic<TIPCState> state_{stInactive};
  TIPCSignalEvent on_signal_;
  TIPCConnectEvent on_connect_;
  std::atomic<bool> exit_requested_{false};
  std::atomic<uint32_t> thread_id_{0};
  mutable std::mutex end_mutex_;
  std::condition_variable end_cv_;
  bool running_ = false;   // a run has started and not yet ended
  bool orphaned_ = false;  // freed while running: the thread deletes the object
};

class TIPCMonitor : public TIPCThread {
 public:
  TIPCMonitor(int32_t id, std::string name);
  static Owned<TIPCMonitor> Create(int32_t id, std::string name) {
    return TIPCThread::Create<TIPCMonitor>(id, std::move(name));
  }

  // Registers as the monitor and starts the thread; raises EMonitorActive
  // while the directory names another monitor. A monitor whose id is its own
  // process id takes a registered id for the process id of an earlier
  // monitor, and takes over from one whose process is gone: a monitor that
  // died without deactivating, while a client kept the directory open, does
  // not lock out the next one. A monitor that took over first asks the
  // client the dead one may have left attached to detach, so that it can be
  // attached again.
  void Activate() override;
  void Deactivate() override;
  const char* ClassName() const override { return "TIPCMonitor"; }

  // Sends a record to the current client; dropped unless attached.
  void SignalClient(const TIPCEventData& data);
  // Sends the current client the last record of the "CLIENT_EVENT" block
  // again, with its flag word replaced; dropped unless attached.
  void SignalClientFlags(uint16_t flags);
  // Waits until the current client has copied the last record sent to it
  // out of the "CLIENT_EVENT" block; false after timeout_ms. A monitor that
  // is going away calls it after its last record: the detach that
  // Deactivate sends would otherwise overwrite a record not yet read.
  bool WaitClientTook(uint32_t timeout_ms);
  std::string CurrentClientName() const;
  // One line per registered client in directory order, with its id; a name
  // already in the list (compared as the class library's string list does,
  // ignoring letter case) gets " (2)", " (3)" and so on.
  void GetClientNames(std::vector<TClientEntry>& list) const;
  // Asks the link thread to switch to a client; 0 means the last registered.
  void SetCurrentClient(int32_t id);
  int32_t CurrentClientID() const { return current_client_id_.load(); }
  bool AutoConnect() const { return auto_connect_.load(); }
  void SetAutoConnect(bool value) { auto_connect_ = value; }
  void SetOnDirectoryUpdate(TIPCNotifyEvent handler);

 protected:
  ~TIPCMonitor() override = default;
  void Execute() override;
  void DropHandlers() override;

 private:
  bool RegisterAsMonitor();
  void DetachLeftClient();
  // Waits up to timeout_ms for this id and kind on "MONITOR_EVENT", taking
  // and dropping whatever else arrives meanwhile; the record taken, or none.
  std::optional<TIPCSharedEvent> AwaitClient(int32_t id, int32_t kind, uint32_t timeout_ms);
  void ConnectToClient(int32_t id);
  void DisconnectFromClient(bool wait);
  void DoClientSignal(const TIPCSharedEvent& block);
  void DoDirectoryUpdate();

  std::atomic<int32_t> current_client_id_{0};
  std::atomic<bool> auto_connect_{true};
  std::atomic<bool> took_over_{false};  // from a monitor whose process is gone
  TIPCNotifyEvent on_directory_update_;
};

class TIPCClient : public TIPCThread {
 public:
  TIPCClient(int32_t id, std::string name);

  // Registers in the directory and starts the thread; raises the
  // directory's error when it is full or the id is taken.
  void Activate() override;
  void Deactivate() override;
  const char* ClassName() const override { return "TIPCClient"; }

  // Sends a record to the monitor; dropped unless attached. Safe from any
  // number of threads at once.
  void SignalMonitor(const TIPCEventData& data);
  int32_t ClientCount() const { return Directory->Count(); }

 protected:
  ~TIPCClient() override = default;
  void Execute() override;

 private:
  void ConnectToMonitor();
  void DisconnectFromMonitor(bool wait);
  void LeaveLink();
  TIPCEvent* WaitEvent() const { return wait_event_.load(); }

  std::atomic<TIPCEvent*> wait_event_{nullptr};
  // Orders reports behind the attach answer (ConnectToMonitor) and keeps
  // them from following the detach answer (DisconnectFromMonitor).
  std::mutex report_mutex_;
};

}  // namespace tov
