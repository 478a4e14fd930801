#include "platform/GuiApplication.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QTimer>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/MessageBox.h"
#include "platform/SysUtils.h"
#include "platform/Threads.h"

namespace tov {
namespace {

char kName[] = "platform_gui_tests";
char* kArgv[] = {kName, nullptr};

std::unique_ptr<TApplication> MakeApp(const char* display) {
  ::unsetenv("QT_QPA_PLATFORM");
  ::unsetenv("WAYLAND_DISPLAY");
  if (display) {
    ::setenv("DISPLAY", display, 1);
  } else {
    ::unsetenv("DISPLAY");
  }
  static int argc = 1;
  return std::make_unique<TApplication>(argc, kArgv);
}

TEST(TApplication, NoDisplayMeansOffscreen) {
  auto app = MakeApp(nullptr);
  EXPECT_TRUE(TApplication::Headless());
  EXPECT_EQ(TApplication::Title(), "platform_gui_tests");  // first letter as it stands
}

TEST(TApplication, UnreachableDisplayFallsBackInsteadOfAborting) {
  auto app = MakeApp(":97");  // no X server answers there
  EXPECT_TRUE(TApplication::Headless());
}

TEST(TApplication, HeadlessMessageBoxAnswersAtOnceWithTheFirstButton) {
  auto app = MakeApp(nullptr);
  testing::internal::CaptureStderr();
  TMsgDlgBtn answer = ShowMessageBox({"Something went wrong", "Error", TMsgDlgType::mtError, mbAbort | mbRetry});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, mbAbort);
  EXPECT_EQ(err, "Error: Something went wrong\n");
}

TEST(TApplication, SynchronisedCallRunsInTheEventLoop) {
  auto app = MakeApp(nullptr);
  std::atomic<bool> ran_on_main{false};
  std::thread worker([&] {
    RunOnMainThread([&] { ran_on_main = IsMainThread(); });
    QMetaObject::invokeMethod(app.get(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
  EXPECT_EQ(app->exec(), 0);
  worker.join();
  EXPECT_TRUE(ran_on_main);
}

TEST(TApplication, TerminationSignalArrivesOnTheWindowThread) {
  auto app = MakeApp(nullptr);
  bool on_main = false;
  app->OnTerminationRequest([&] {
    on_main = IsMainThread();
    QCoreApplication::quit();
  });
  QTimer::singleShot(0, [] { ::kill(::getpid(), SIGTERM); });
  QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
  EXPECT_EQ(app->exec(), 0);
  EXPECT_TRUE(on_main);
}

TEST(TApplication, ExceptionFromAnEventHandlerReachesTheHook) {
  auto app = MakeApp(nullptr);
  std::string seen;
  SetApplicationExceptionHook([&](void*, std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (...) {
      seen = CurrentExceptionClassName();
    }
    QCoreApplication::quit();
  });
  QTimer::singleShot(0, [] { throw EConvertError("x"); });
  QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
  EXPECT_EQ(app->exec(), 0);
  EXPECT_EQ(seen, "EConvertError");
  SetApplicationExceptionHook(nullptr);
}

TEST(AnsiText, WindowsCodePageAtTheQtBoundary) {
  // 0x80 is the euro sign and 0xF8 the letter o with stroke in Windows-1252.
  QString q = AnsiToQString("\x80 pr\xF8ver");
  EXPECT_EQ(q, QString::fromUtf8("\u20AC pr\u00F8ver"));
  EXPECT_EQ(QStringToAnsi(q), "\x80 pr\xF8ver");
  EXPECT_EQ(QStringToAnsi(QString::fromUtf8("\u4E2D")), "?");
}

}  // namespace
}  // namespace tov
