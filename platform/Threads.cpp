#include "platform/Threads.h"

#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <stdexcept>

namespace tov {

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

namespace {

std::atomic<uint32_t> g_main_thread{CurrentThreadId()};  // static init runs on the main thread

struct SyncCall {
  const std::function<void()>* fn;
  bool done = false;
  std::exception_ptr error;
};

struct SyncQueue {
  std::mutex mutex;
  std::condition_variable queued;
  std::condition_variable finished;
  std::deque<SyncCall*> calls;
  std::function<void()> wakeup;
};

SyncQueue& Queue() {
  static SyncQueue* q = new SyncQueue;  // never destroyed: threads may outlive main's statics
  return *q;
}

std::atomic<SleepFunction> g_sleep{nullptr};

std::mutex g_hook_mutex;
ExceptionHook& Hook() {
  static ExceptionHook* hook = new ExceptionHook;
  return *hook;
}

}  // namespace

bool IsMainThread() { return CurrentThreadId() == g_main_thread.load(); }
void SetMainThread() { g_main_thread = CurrentThreadId(); }

void RunOnMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  SyncQueue& q = Queue();
  SyncCall call{&fn};
  std::function<void()> wakeup;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.calls.push_back(&call);
    wakeup = q.wakeup;
  }
  q.queued.notify_all();
  if (wakeup) wakeup();
  std::unique_lock<std::mutex> lock(q.mutex);
  q.finished.wait(lock, [&] { return call.done; });
  if (call.error) std::rethrow_exception(call.error);
}

bool CheckSynchronize(int timeout_ms) {
  SyncQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  if (q.calls.empty() && timeout_ms > 0) {
    q.queued.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !q.calls.empty(); });
  }
  bool ran = false;
  while (!q.calls.empty()) {
    SyncCall* call = q.calls.front();
    q.calls.pop_front();
    lock.unlock();
    try {
      (*call->fn)();
    } catch (...) {
      call->error = std::current_exception();
    }
    lock.lock();
    call->done = true;
    ran = true;
    q.finished.notify_all();
  }
  return ran;
}

void SetSynchronizeWakeup(std::function<void()> wakeup) {
  SyncQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mutex);
  q.wakeup = std::move(wakeup);
}

void RealSleep(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void EngineSleep(uint32_t ms) {
  SleepFunction fn = g_sleep.load();
  if (fn) {
    fn(ms);
  } else {
    RealSleep(ms);
  }
}

void SetSleepFunction(SleepFunction fn) { g_sleep = fn; }

void SetApplicationExceptionHook(ExceptionHook hook) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  Hook() = std::move(hook);
}

void HandleApplicationException(void* sender) {
  std::exception_ptr error = std::current_exception();
  ExceptionHook hook;
  {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    hook = Hook();
  }
  if (hook && error) hook(sender, error);
}

TThread::TThread() {
  int rc = pthread_create(&handle_, nullptr, &TThread::Trampoline, this);
  if (rc != 0) throw std::runtime_error("cannot create thread");
  std::unique_lock<std::mutex> lock(gate_mutex_);
  gate_.wait(lock, [&] { return tid_.load() != 0; });
}

TThread::~TThread() {
  bool self = pthread_equal(pthread_self(), handle_);
  {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    if (!started_) {
      cancelled_ = true;
      gate_open_ = true;
    }
  }
  gate_.notify_all();
  if (!self && joinable_) pthread_join(handle_, nullptr);
}

void* TThread::Trampoline(void* arg) {
  auto* self = static_cast<TThread*>(arg);
  {
    std::unique_lock<std::mutex> lock(self->gate_mutex_);
    self->tid_ = CurrentThreadId();
    self->gate_.notify_all();
    self->gate_.wait(lock, [&] { return self->gate_open_; });
    if (self->cancelled_) return nullptr;
  }
  self->Run();
  return nullptr;
}

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    fatal_ = std::current_exception();
  }
  bool free_self;
  {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    finished_ = true;
    free_self = free_on_terminate_;
  }
  gate_.notify_all();
  if (free_self) delete this;
}

void TThread::Resume() {
  // Notified under the lock: once it is let go, a thread that frees itself
  // may already have run and deleted this object.
  std::lock_guard<std::mutex> lock(gate_mutex_);
  if (started_) return;
  started_ = true;
  if (free_on_terminate_) {
    pthread_detach(handle_);
    joinable_ = false;
  }
  gate_open_ = true;
  gate_.notify_all();
}

bool TThread::WaitFor(int timeout_ms) {
  std::unique_lock<std::mutex> lock(gate_mutex_);
  if (!started_) return true;
  auto done = [&] { return finished_.load(); };
  if (timeout_ms < 0) {
    gate_.wait(lock, done);
    return true;
  }
  return gate_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

void TThread::SetPriority(TThreadPriority priority) {
  sched_param param{};
  param.sched_priority = 0;
  pthread_setschedparam(handle_, priority == TThreadPriority::Idle ? SCHED_IDLE : SCHED_OTHER, &param);
}

void TThread::Synchronize(const std::function<void()>& fn) { RunOnMainThread(fn); }

}  // namespace tov
