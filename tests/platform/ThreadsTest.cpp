#include "platform/Threads.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <thread>

#include "platform/SysUtils.h"
#include "tests/support/TestSupport.h"

namespace tov {
namespace {

class FlagThread : public TThread {
 public:
  std::atomic<bool>* ran;
  std::atomic<int>* policy;
  explicit FlagThread(std::atomic<bool>* r, std::atomic<int>* p = nullptr) : ran(r), policy(p) {}

 protected:
  void Execute() override {
    if (policy) *policy = sched_getscheduler(0);
    *ran = true;
  }
};

TEST(TThread, CreatedSuspendedWithItsIdKnown) {
  std::atomic<bool> ran{false};
  FlagThread t(&ran);
  EXPECT_NE(t.ThreadID(), 0u);
  EXPECT_NE(t.ThreadID(), CurrentThreadId());
  RealSleep(20);
  EXPECT_FALSE(ran);  // nothing runs before Resume
  t.Resume();
  EXPECT_TRUE(t.WaitFor(5000));
  EXPECT_TRUE(ran);
}

TEST(TThread, NeverResumedThreadIsDestroyableWithoutRunning) {
  std::atomic<bool> ran{false};
  { FlagThread t(&ran); }
  EXPECT_FALSE(ran);
}

class SelfFreeing : public TThread {
 public:
  static std::atomic<int> destroyed;
  ~SelfFreeing() override { ++destroyed; }

 protected:
  void Execute() override {}
};
std::atomic<int> SelfFreeing::destroyed{0};

TEST(TThread, FreeOnTerminateDeletesItself) {
  SelfFreeing::destroyed = 0;  // counted across repeats of the test
  for (int i = 0; i < 10; ++i) {
    auto* t = new SelfFreeing;
    t->SetFreeOnTerminate(true);
    t->Resume();
  }
  EXPECT_TRUE(test::WaitUntil([] { return SelfFreeing::destroyed == 10; }));
}

TEST(TThread, IdlePriorityIsSchedIdle) {
  std::atomic<bool> ran{false};
  std::atomic<int> policy{-1};
  FlagThread t(&ran, &policy);
  t.SetPriority(TThreadPriority::Idle);
  t.Resume();
  ASSERT_TRUE(t.WaitFor(5000));
  EXPECT_EQ(policy.load(), SCHED_IDLE);
}

class Thrower : public TThread {
 protected:
  void Execute() override { throw EConvertError("bad"); }
};

TEST(TThread, EscapingExceptionIsKept) {
  Thrower t;
  t.Resume();
  ASSERT_TRUE(t.WaitFor(5000));
  ASSERT_TRUE(t.FatalException());
  EXPECT_THROW(std::rethrow_exception(t.FatalException()), EConvertError);
}

class Syncer : public TThread {
 public:
  std::atomic<bool> on_main{false};

 protected:
  void Execute() override {
    Synchronize([this] { on_main = IsMainThread(); });
  }
};

TEST(Synchronize, RunsOnTheMainThreadAndWaits) {
  Syncer t;
  bool woken = false;
  SetSynchronizeWakeup([&] { woken = true; });
  t.Resume();
  while (!t.Finished()) CheckSynchronize(10);
  EXPECT_TRUE(t.on_main);
  EXPECT_TRUE(woken);
  SetSynchronizeWakeup(nullptr);
}

TEST(Synchronize, ExceptionReachesTheCaller) {
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      RunOnMainThread([] { throw EConvertError("x"); });
    } catch (const EConvertError&) {
      caught = true;
    }
  });
  while (!caught) CheckSynchronize(10);
  worker.join();
}

TEST(EngineSleep, GoesThroughTheInstalledFunction) {
  test::FastSleep fast;
  auto before = test::FastSleep::RequestedMs();
  EngineSleep(10000);
  EXPECT_EQ(test::FastSleep::RequestedMs() - before, 10000u);
}

TEST(ApplicationExceptionHook, ReceivesSenderAndException) {
  void* seen_sender = nullptr;
  std::string seen_class;
  int token = 0;
  SetApplicationExceptionHook([&](void* sender, std::exception_ptr e) {
    seen_sender = sender;
    try {
      std::rethrow_exception(e);
    } catch (...) {
      seen_class = CurrentExceptionClassName();
    }
  });
  try {
    throw EFilerError("x");
  } catch (...) {
    HandleApplicationException(&token);
  }
  EXPECT_EQ(seen_sender, &token);
  EXPECT_EQ(seen_class, "EFilerError");
  SetApplicationExceptionHook(nullptr);
}

}  // namespace
}  // namespace tov
