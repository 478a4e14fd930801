#include "common/IpcThreads.h"

#include <chrono>

#include "common/MessageKinds.h"
#include "platform/Processes.h"
#include "platform/Threads.h"

namespace tov {

// The thread of one run of Execute; it frees itself when the run ends.
class TIPCThread::Worker : public TThread {
 public:
  explicit Worker(TIPCThread* link) : link_(link) {}

 protected:
  void Execute() override { link_->Run(); }

 private:
  TIPCThread* link_;
};

void TIPCThread::Free::operator()(TIPCThread* link) const {
  try {
    link->Deactivate();
  } catch (...) {
  }
  link->DropHandlers();
  {
    std::lock_guard<std::mutex> lock(link->end_mutex_);
    if (link->running_) {
      link->orphaned_ = true;
      return;
    }
  }
  delete link;
}

TIPCThread::TIPCThread(int32_t id, std::string name, bool label_with_name) : id_(id), name_(std::move(name)) {
  std::string label = label_with_name ? name_ : IntToHex(static_cast<uint32_t>(id), 8);
  Tracer = std::make_unique<TIPCTracer>(label);
  MonitorEvent = std::make_unique<TIPCEvent>(this, "MONITOR_EVENT", false);
  ClientEvent = std::make_unique<TIPCEvent>(this, "CLIENT_EVENT", false);
  ConnectEvent = std::make_unique<TIPCEvent>(this, "CONNECT_EVENT", true);
  Directory = std::make_unique<TClientDirectory>(kMaxClients);
}

TIPCThread::~TIPCThread() {
  Directory.reset();
  ClientEvent.reset();
  ConnectEvent.reset();
  MonitorEvent.reset();
  state_ = stInactive;
  Tracer.reset();
}

void TIPCThread::SetOnSignal(TIPCSignalEvent handler) {
  std::lock_guard<std::mutex> lock(handlers_mutex_);
  on_signal_ = std::move(handler);
}

void TIPCThread::SetOnConnect(TIPCConnectEvent handler) {
  std::lock_guard<std::mutex> lock(handlers_mutex_);
  on_connect_ = std::move(handler);
}

void TIPCThread::DropHandlers() {
  std::lock_guard<std::mutex> lock(handlers_mutex_);
  on_signal_ = nullptr;
  on_connect_ = nullptr;
}

void TIPCThread::Trace(std::string_view msg) { Tracer->Add(msg); }

void TIPCThread::TraceException() {
  // C++ exceptions carry no code address, so the line shows 0.
  Trace(Format("Exception raised in Thread Handler: %s at %X", {CurrentExceptionMessage(), int64_t{0}}));
}

void TIPCThread::DoSignal(const TIPCEventData& data) {
  TIPCSignalEvent handler;
  {
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    handler = on_signal_;
  }
  if (handler) handler(this, data);
}

void TIPCThread::DoConnect(bool connected) {
  TIPCConnectEvent handler;
  {
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    handler = on_connect_;
  }
  if (handler) handler(this, connected);
}

void TIPCThread::StartThread(const std::function<void()>& undo_registration) {
  SetState(stActive);
  std::unique_ptr<Worker> worker;
  try {
    worker = std::make_unique<Worker>(this);
  } catch (...) {
    undo_registration();
    SetState(stInactive);
    throw;
  }
  worker->SetFreeOnTerminate(true);
  exit_requested_ = false;
  {
    std::lock_guard<std::mutex> lock(end_mutex_);
    running_ = true;
  }
  worker.release()->Resume();
}

void TIPCThread::Run() {
  thread_id_ = CurrentThreadId();
  try {
    Execute();
  } catch (...) {
    // Execute catches what its passes raise; this only guards its first lines.
    SetState(stInactive);
  }
  bool orphaned;
  {
    // Once this lock is let go the owner may delete the object at once.
    std::lock_guard<std::mutex> lock(end_mutex_);
    running_ = false;
    orphaned = orphaned_;
    end_cv_.notify_all();
  }
  if (orphaned) delete this;
}

bool TIPCThread::ThreadRunning() const {
  std::lock_guard<std::mutex> lock(end_mutex_);
  return running_;
}

bool TIPCThread::WaitForEnd(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(end_mutex_);
  if (running_ && thread_id_.load() == CurrentThreadId()) return false;
  return end_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !running_; });
}

bool TIPCThread::PreviousRunEnded() { return WaitForEnd(2 * kEndWaitMs); }

void TIPCThread::EndThread() {
  MonitorEvent->WakeWaiters();
  ClientEvent->WakeWaiters();
  ConnectEvent->WakeWaiters();
  WaitForEnd(kEndWaitMs);
}

// ---- monitor ----

TIPCMonitor::TIPCMonitor(int32_t id, std::string name) : TIPCThread(id, std::move(name), true) {}

void TIPCMonitor::SetOnDirectoryUpdate(TIPCNotifyEvent handler) {
  std::lock_guard<std::mutex> lock(handlers_mutex_);
  on_directory_update_ = std::move(handler);
}

void TIPCMonitor::DropHandlers() {
  TIPCThread::DropHandlers();
  std::lock_guard<std::mutex> lock(handlers_mutex_);
  on_directory_update_ = nullptr;
}

void TIPCMonitor::Activate() {
  if (State() != stInactive || !PreviousRunEnded()) return;
  if (!RegisterAsMonitor()) throw EMonitorActive();
  StartThread([this] { Directory->ReleaseMonitorID(ID()); });
}

bool TIPCMonitor::RegisterAsMonitor() {
  // A few rounds: the registered monitor may leave between two looks.
  for (int round = 0; round < 3; ++round) {
    if (Directory->ClaimMonitorID(ID())) return true;
    int32_t registered = Directory->GetMonitorID();
    if (registered == 0) continue;
    if (ID() != CurrentProcessId() || registered == ID() || ProcessExists(registered)) return false;
    // Safeguard: takeover detaches. A monitor whose process is gone hands over its id;
    // the crawler left attached to it is detached once the link thread runs.
    if (Directory->TakeOverMonitorID(registered, ID())) {
      Trace(Format("Took over from monitor %d, whose process is gone", {static_cast<int64_t>(registered)}));
      took_over_ = true;
      return true;
    }
  }
  return false;
}

void TIPCMonitor::Deactivate() {
  if (State() == stInactive || !ThreadRunning()) return;
  Directory->ReleaseMonitorID(ID());
  RequestExit();
  MonitorEvent->Signal(evMonitorExit);
  EndThread();
}

void TIPCMonitor::SignalClient(const TIPCEventData& data) {
  if (State() != stConnected) return;
  Trace("Signaling Client data");
  ClientEvent->SignalRecord(evMonitorSignal, CurrentClientID(), data);
}

void TIPCMonitor::SignalClientFlags(uint16_t flags) {
  if (State() != stConnected) return;
  ClientEvent->SetFlags(flags);
  Trace("Signaling Client");
  ClientEvent->SignalRecord(evMonitorSignal, CurrentClientID(), ClientEvent->GetUserData());
}

bool TIPCMonitor::WaitClientTook(uint32_t timeout_ms) {
  // Safeguard: exit record kept. The detach that follows the exit record cannot overwrite it unread.
  // The event is no sign: the client clears it when it wakes, before it has
  // copied the block. The record's pending mark goes only once it has.
  return ClientEvent->WaitTaken(timeout_ms);
}

std::string TIPCMonitor::CurrentClientName() const { return Directory->ClientName(CurrentClientID()); }

void TIPCMonitor::GetClientNames(std::vector<TClientEntry>& list) const {
  list.clear();
  auto listed = [&](const std::string& name) {
    for (const TClientEntry& line : list) {
      if (SameText(line.Name, name)) return true;
    }
    return false;
  };
  for (const TClientEntry& entry : Directory->Entries()) {
    std::string name = entry.Name;
    for (int64_t n = 2; listed(name); ++n) name = Format("%s (%d)", {entry.Name, n});
    list.push_back({entry.ID, name});
  }
}

void TIPCMonitor::SetCurrentClient(int32_t id) {
  if (id == 0) id = Directory->LastClientID();
  if (id != 0) MonitorEvent->SignalID(evClientSwitch, id);
}

void TIPCMonitor::DoDirectoryUpdate() {
  TIPCNotifyEvent handler;
  {
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    handler = on_directory_update_;
  }
  if (handler) handler(this);
}

void TIPCMonitor::DoClientSignal(const TIPCSharedEvent& block) {
  if (block.ID == CurrentClientID()) DoSignal(block.Data);  // other clients' records are dropped
}

// A monitor that died attached to a client leaves that client waiting on
// "CLIENT_EVENT", deaf to attach requests on "CONNECT_EVENT", and sending its
// reports into the void. Which client it was is not recorded: each is asked
// to detach, the last registered first (the one a monitor attaches at its
// start), until one answers.
void TIPCMonitor::DetachLeftClient() {
  std::vector<TClientEntry> clients = Directory->Entries();
  for (auto it = clients.rbegin(); it != clients.rend() && !ExitRequested(); ++it) {
    Trace(Format("Sending evMonitorDetach: %x", {static_cast<int64_t>(it->ID)}));
    ClientEvent->SignalID(evMonitorDetach, it->ID);
    if (AwaitClient(it->ID, evClientDetach, kHandshakeWaitMs)) {
      Trace(Format("Detached client %x, left attached by the monitor taken over", {static_cast<int64_t>(it->ID)}));
      return;
    }
    // An unattached client never looks at "CLIENT_EVENT": the request must
    // not wait there until it attaches and then detach it.
    ClientEvent->Reset();
  }
}

std::optional<TIPCSharedEvent> TIPCMonitor::AwaitClient(int32_t id, int32_t kind, uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !MonitorEvent->Wait(static_cast<uint32_t>(left))) return std::nullopt;
    const TIPCSharedEvent block = MonitorEvent->TakeBlock();
    if (block.ID == id && block.EventKind == kind) return block;
  }
}

void TIPCMonitor::ConnectToClient(int32_t id) {
  if (id == CurrentClientID()) return;
  if (State() == stConnected) DisconnectFromClient(true);
  if (id == 0) return;
  Trace(Format("Sending evMonitorAttach: %X", {static_cast<int64_t>(id)}));
  ConnectEvent->SignalID(evMonitorAttach, id);
  // Safeguard: attach answer awaited. A wake-up that brings no answer (the late
  // signal of a record already taken, another client's record) does not end
  // the wait, and the answer is read from the record taken: a report that the
  // client sends once its answer is taken may already stand in the block.
  // Either would leave the client attached and this monitor not.
  const std::optional<TIPCSharedEvent> answer = AwaitClient(id, evClientAttach, kHandshakeWaitMs);
  if (answer && answer->Data.Kind == KindAttachOk) {
    current_client_id_ = id;
    SetState(stConnected);
    DoConnect(true);
    Trace("ConnectToClient Successful");
  } else {
    // "CONNECT_EVENT" stays set until the addressed client resets it.
    Trace("ConnectToClient Failed: " + EventKindName(MonitorEvent->GetKind()));
  }
}

void TIPCMonitor::DisconnectFromClient(bool wait) {
  if (State() != stConnected) return;
  int32_t client = CurrentClientID();
  Trace(Format("Sending evMonitorDetach: %x", {static_cast<int64_t>(client)}));
  ClientEvent->SignalID(evMonitorDetach, client);
  if (wait && !MonitorEvent->WaitFor(kHandshakeWaitMs, client, evClientDetach)) {
    Trace(Format("Error waiting for client to detach: %x", {static_cast<int64_t>(client)}));
    Directory->RemoveClient(client);
  }
  current_client_id_ = 0;
  SetState(stActive);
  DoConnect(false);
  if (!wait) DoDirectoryUpdate();
}

void TIPCMonitor::Execute() {
  Trace(Name() + " Activated");
  if (took_over_) {
    try {
      DetachLeftClient();
    } catch (...) {
      TraceException();
    }
  }
  // Kick the loop so that its first pass attaches the last registered client.
  if (Directory->Count() > 0) MonitorEvent->SignalID(evClientStart, Directory->LastClientID());
  for (;;) {
    int result = MonitorEvent->WaitResult(kInfinite, ExitFlag());
    try {
      if (result == kWaitObject0) {
        TIPCSharedEvent block = MonitorEvent->TakeBlock();
        Trace("Event Signaled: " + EventKindName(block.EventKind));
        switch (block.EventKind) {
          case evClientStart:
            if (AutoConnect() || CurrentClientID() == 0) ConnectToClient(block.ID);
            DoDirectoryUpdate();
            break;
          case evClientStop:
            DoDirectoryUpdate();
            break;
          case evClientDetach:
            DisconnectFromClient(false);
            RealSleep(100);
            if (AutoConnect()) ConnectToClient(Directory->LastClientID());
            break;
          case evClientSwitch:
            ConnectToClient(block.ID);
            break;
          case evClientSignal:
            DoClientSignal(block);
            break;
          default:
            // evMonitorExit only wakes the loop: the exit flag of this
            // object's Deactivate ends it, so an exit signal left behind by
            // an earlier monitor cannot end this one.
            break;
        }
      } else if (result == kWaitAbandoned) {
        DisconnectFromClient(false);
      } else if (result != kWaitInterrupted) {
        Trace(Format("Unexpected Wait Return Code: %d", {static_cast<int64_t>(result)}));
      }
    } catch (...) {
      TraceException();
    }
    if (ExitRequested()) {
      try {
        DisconnectFromClient(false);  // the client answers into the void
      } catch (...) {
        TraceException();
      }
      break;
    }
  }
  SetState(stInactive);
  Trace("Thread Handler Exited");
}

// ---- client ----

TIPCClient::TIPCClient(int32_t id, std::string name) : TIPCThread(id, std::move(name), false) {}

void TIPCClient::Activate() {
  if (State() != stInactive || !PreviousRunEnded()) return;
  wait_event_ = ConnectEvent.get();
  MonitorEvent->SetID(ID());
  ClientEvent->SetID(ID());
  ConnectEvent->SetID(ID());
  // Safeguard: dead clients dropped.
  // A client that died without leaving (killed, say) stays registered; enough
  // of them would fill the directory for good. A client named by its process
  // id takes the others' ids for theirs and drops those whose process is gone.
  if (ID() == CurrentProcessId()) {
    Directory->RemoveClientsWhere([](int32_t id) { return !ProcessExists(id); });
  }
  Directory->AddClient(ID(), Name());
  StartThread([this] { Directory->RemoveClient(ID()); });
}

void TIPCClient::Deactivate() {
  Directory->RemoveClient(ID());
  if (State() == stInactive || !ThreadRunning()) return;
  RequestExit();
  WaitEvent()->Signal(evClientExit);
  EndThread();
}

void TIPCClient::SignalMonitor(const TIPCEventData& data) {
  std::lock_guard<std::mutex> lock(report_mutex_);
  if (State() != stConnected) return;
  Trace("Signaling Monitor");
  MonitorEvent->SignalRecord(evClientSignal, ID(), data);
}

void TIPCClient::ConnectToMonitor() {
  Trace("ConnectToMonitor Begin");
  ConnectEvent->Reset();
  TIPCEventData answer;
  answer.Kind = KindAttachOk;
  try {
    {
      // Safeguard: attach answer first.
      // No report may reach the monitor before the answer it waits for: it
      // would end that wait as a failed attach. Nor may one replace the
      // answer untaken, however slowly the monitor's link thread wakes: the
      // reports wait behind it for as long as the monitor waits for it.
      std::lock_guard<std::mutex> lock(report_mutex_);
      SetState(stConnected);
      wait_event_ = ClientEvent.get();
      MonitorEvent->SignalRecord(evClientAttach, ID(), answer);
      MonitorEvent->WaitTaken(kHandshakeWaitMs);
    }
    DoConnect(true);
  } catch (...) {
    Trace("Exception in ConnectToMonitor: " + CurrentExceptionMessage());
    answer.Kind = KindNone;
    std::lock_guard<std::mutex> lock(report_mutex_);
    MonitorEvent->SignalRecord(evClientAttach, ID(), answer);
  }
  Trace("ConnectToMonitor End");
}

void TIPCClient::DisconnectFromMonitor(bool wait) {
  Trace("DisconnectFromMonitor Begin");
  if (State() == stConnected) {
    if (wait) {
      Trace("Sending evClientDetach");
      MonitorEvent->Signal(evClientDetach);
      Trace(ClientEvent->WaitFor(kHandshakeWaitMs, ID(), evMonitorDetach) ? "Got evMonitorDetach"
                                                                           : "Error waiting for evMonitorDetach");
    }
    {
      // No report may follow the detach answer: a monitor waiting for the
      // answer would find the report in its place.
      std::lock_guard<std::mutex> lock(report_mutex_);
      SetState(stActive);
      wait_event_ = ConnectEvent.get();
      if (!wait) {
        Trace("DisconnectFromMonitor sending evClientDetach");
        MonitorEvent->Signal(evClientDetach);
      }
    }
    DoConnect(false);
  }
  Trace("DisconnectFromMonitor End");
}

void TIPCClient::LeaveLink() {
  if (Directory->GetMonitorID() == 0) return;
  if (State() == stConnected) {
    DisconnectFromMonitor(true);
  } else {
    MonitorEvent->Signal(evClientStop);
  }
}

void TIPCClient::Execute() {
  Trace(Name() + " Activated");
  if (Directory->GetMonitorID() != 0) MonitorEvent->SignalID(evClientStart, ID());
  for (;;) {
    TIPCEvent* event = WaitEvent();
    int result = event->WaitResult(kInfinite, ExitFlag());
    if (result != kWaitObject0 && result != kWaitInterrupted) break;
    try {
      if (result == kWaitObject0) {
        TIPCSharedEvent block = event->TakeBlock();
        if (block.ID != ID()) {
          // A request for another client on the manual-reset "CONNECT_EVENT"
          // wakes this thread every 200 ms until that client resets it.
          if (!ExitRequested()) RealSleep(200);
        } else {
          Trace("Client Event Signaled: " + EventKindName(block.EventKind));
          switch (block.EventKind) {
            case evMonitorAttach:
              ConnectToMonitor();
              break;
            case evMonitorDetach:
              DisconnectFromMonitor(false);
              RealSleep(200);
              break;
            case evMonitorSignal:
              DoSignal(block.Data);
              break;
            default:
              // evClientExit only wakes the loop; the exit flag ends it.
              break;
          }
        }
      }
    } catch (...) {
      TraceException();
    }
    if (ExitRequested()) {
      try {
        LeaveLink();
      } catch (...) {
        TraceException();
      }
      break;
    }
  }
  SetState(stInactive);
  Trace("Thread Handler Exited");
}

}  // namespace tov
