#include "monitor/TovwatchProgram.h"

#include <memory>
#include <string>

#include "monitor/MonitorDialogs.h"
#include "monitor/MonitorLink.h"
#include "monitor/Supervision.h"
#include "monitor/TovwatchUnit1.h"
#include "platform/DesktopIdle.h"
#include "platform/GuiApplication.h"
#include "platform/MessageBox.h"
#include "platform/SysUtils.h"
#include "platform/Threads.h"

namespace tov {

namespace {

// The class library's handling of an exception that escaped an event
// handler: its message in a box, and here in the error log as well.
void ReportException(void*, std::exception_ptr error) {
  std::string text;
  try {
    std::rethrow_exception(error);
  } catch (...) {
    text = CurrentExceptionMessage();
    TryWriteErrorLog(CurrentExceptionClassName() + ": " + text);
  }
  ShowMessageBox({text, "", TMsgDlgType::mtError, mbOK});
}

}  // namespace

int TovwatchMain(int argc, char** argv) {
  // Read before the application object takes out the toolkit's own options.
  bool background = HasBackgroundSwitch(argc, argv);
  TApplication app(argc, argv);
  SetApplicationExceptionHook(&ReportException);
  SetIdleSource(&DesktopIdleMs);

  std::unique_ptr<TTovwatchMainForm> form;
  // SIGTERM and SIGINT exit as the Exit item does, also while a box of the
  // start-up is open.
  app.OnTerminationRequest([&form] {
    if (form) form->miExitClick();
  });
  try {
    form = std::make_unique<TTovwatchMainForm>();
    form->FormCreate();
  } catch (...) {
    // Ends here rather than run a window whose link or settings are missing.
    std::string text = CurrentExceptionMessage();
    TryWriteErrorLog(text);
    ShowMessageBox({text, "Error", TMsgDlgType::mtError, mbOK});
    return 1;
  }
  // The about box, the Options dialog, the memory-information window and the
  // account dialog, in that order, after the main window.
  TMonitorDialogs dialogs(*form);

  if (Exiting) return 0;  // asked to end during start-up
  if (!form->TrayAvailable()) {
    TryWriteErrorLog(background ? "No notification area on this desktop: the main window is shown in spite of the b switch"
                                : "No notification area on this desktop: Tovwatch runs without its tray icon");
  }
  // Without a notification area the window is the only way back in.
  if (!background || !form->TrayAvailable()) form->show();
  return app.exec();
}

}  // namespace tov
