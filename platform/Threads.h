// The thread class the engine and the link are built on, the synchronised call
// onto the main thread, and the one sleep that every engine poll goes through.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <pthread.h>

namespace tov {

enum class TThreadPriority { Idle, Normal };

// A thread that exists from construction but runs Execute only after Resume
// (created suspended), so its id is known before it starts. With
// FreeOnTerminate set the object deletes itself after Execute returns; such an
// object must only be made with new and must not be touched once resumed,
// except by the thread itself. An exception that escapes Execute is caught
// and kept in FatalException.
class TThread {
 public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Resume();
  bool Started() const { return started_; }
  // Asks the thread to end; Execute looks at Terminated() where it can.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // Waits until Execute has returned; false when timeout_ms passed first
  // (a negative timeout waits without limit). Not for FreeOnTerminate threads.
  bool WaitFor(int timeout_ms = -1);
  bool Finished() const { return finished_; }

  void SetFreeOnTerminate(bool value) { free_on_terminate_ = value; }
  // Idle priority is SCHED_IDLE: the thread runs only when a core has nothing else.
  void SetPriority(TThreadPriority priority);
  // The kernel's thread id, unique among the live threads of the machine.
  uint32_t ThreadID() const { return tid_; }
  const std::exception_ptr& FatalException() const { return fatal_; }

 protected:
  virtual void Execute() = 0;
  // Runs fn on the main thread and waits until it has run there.
  static void Synchronize(const std::function<void()>& fn);

 private:
  static void* Trampoline(void* self);
  void Run();

  pthread_t handle_{};
  std::atomic<uint32_t> tid_{0};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  bool started_ = false;
  bool free_on_terminate_ = false;
  bool cancelled_ = false;  // destroyed before Resume: leave without Execute
  bool joinable_ = true;
  std::mutex gate_mutex_;
  std::condition_variable gate_;
  bool gate_open_ = false;
  std::exception_ptr fatal_;
};

// The kernel id of the calling thread.
uint32_t CurrentThreadId();
// True on the thread that the main-thread queue belongs to: the thread that
// started the process, unless SetMainThread moved it.
bool IsMainThread();
void SetMainThread();

// Runs fn on the main thread and waits for it (the synchronised call). From the
// main thread itself it runs at once. The main thread runs queued calls in
// CheckSynchronize; a window toolkit installs a wake-up that makes its loop do so.
void RunOnMainThread(const std::function<void()>& fn);
// Runs the calls queued for the main thread; waits up to timeout_ms for one to
// arrive when none is queued. Returns whether any ran. Main thread only.
bool CheckSynchronize(int timeout_ms = 0);
// Called (on the queuing thread) whenever a call is queued for the main thread.
void SetSynchronizeWakeup(std::function<void()> wakeup);

// The one sleep of every engine poll. Tests replace it so they need not wait
// through 10-second and 5-second polls; the programs always sleep in real time.
using SleepFunction = void (*)(uint32_t ms);
void EngineSleep(uint32_t ms);
void SetSleepFunction(SleepFunction fn);  // nullptr restores the real sleep
void RealSleep(uint32_t ms);

// The class library's application-wide exception hook: components that catch an
// exception in their own message handling hand it here with the sender.
using ExceptionHook = std::function<void(void* sender, std::exception_ptr error)>;
void SetApplicationExceptionHook(ExceptionHook hook);
// Passes the current exception (call inside a catch block) to the hook; without
// a hook it is dropped.
void HandleApplicationException(void* sender);

}  // namespace tov
