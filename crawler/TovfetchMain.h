// The crawler program's one window and its start-up. The window is hidden
// unless the monitor asks to show it. It owns the start-up (lock file, link
// client, settings, engine start, timers), takes the monitor's commands from
// the link, reports pages and the heartbeat to the monitor, shows the engine's
// log lines and three counters, and turns every close request into the
// orderly shut-down. The unit's procedures below are the engine's callbacks.
#pragma once

#include <QWidget>

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "common/IpcThreads.h"
#include "platform/Files.h"

class QLabel;
class QPlainTextEdit;
class QTimer;

namespace tov {

class TMainForm : public QWidget {
 public:
  static constexpr int kWidth = 503;
  static constexpr int kHeight = 677;
  static constexpr uint32_t SC_CLOSE = 0xF060;

  // The form as its resource makes it: hidden, controls with their first
  // texts, the three timers off. FormCreate does the start-up.
  TMainForm();
  ~TMainForm() override;  // FormDestroy

  void FormCreate();
  void FormDestroy();
  // The application-wide hook for exceptions that escape event handlers.
  void AppException(void* sender, std::exception_ptr error);
  void Timer1Timer();
  void Timer2Timer();
  void Timer3Timer();
  // A system command as the window receives it; only SC_CLOSE is acted on.
  void WMSysCommand(uint32_t command);
  // Link handlers; they run on the link thread.
  void IPCConnect(TIPCThread* sender, bool connected);
  void IPCSignal(TIPCThread* sender, const TIPCEventData& data);
  // Queues a close request to the window; safe from any thread.
  void PostClose();

  // The memo line, on the window thread: added while the window is visible.
  void AddLogLine(const std::string& msg);
  // Whether the window is shown; readable from any thread.
  bool Shown() const { return shown_.load(); }
  void setVisible(bool visible) override;
  // Whether FormCreate asked the application to end (a failed start-up).
  bool TerminateRequested() const { return terminate_requested_; }
  // Whether the engine was started; only then does a close request run the
  // orderly shut-down.
  bool EngineStarted() const { return engine_started_; }

  QPlainTextEdit* Memo1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* UrlsInQueue = nullptr;
  QLabel* UrlsInStorageQueue = nullptr;
  QLabel* RuningTreads = nullptr;
  QTimer* Timer1 = nullptr;
  QTimer* Timer2 = nullptr;
  QTimer* Timer3 = nullptr;

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void Terminate();
  bool OpenLockFile();
  bool StartIPCClient();

  std::string caption_;
  std::atomic<bool> shown_{false};
  bool terminate_requested_ = false;
  bool engine_started_ = false;
};

// The unit's globals.
extern std::atomic<TMainForm*> MainForm;  // the one window; read from any thread
extern TIPCThread::Owned<TIPCClient> IPCClient;
extern TFile LockFileHandle;
extern bool HoltErrorShown;

// The engine's callbacks.
// LogProc: a memo line while the window is visible, else dropped; any thread.
void LogToMemo(const std::string& msg);
// HoltErrorProc, window thread only: the first call of a run (from the
// window's making on) logs the error, shows it and starts the shut-down;
// later calls do nothing.
void HoltError(const std::string& msg);
// ThreadCountProc: the heartbeat, NotifyMonitor(StatThreadCount).
void SendThreadCount();
// StatProc: a page outcome or the heartbeat (StatUrlOk ... StatThreadCount); any thread.
void NotifyMonitor(uint8_t what);
// ApplicationTerminateProc, window thread only: ends the process with exit code 0.
void ApplicationTerminate();

// The record NotifyMonitor sends for `what`; false for a value it does not know.
bool MonitorRecordFor(uint8_t what, int32_t runningThreads, TIPCEventData& record);

// "<title> (v 0.82) - <pid in upper-case hex>".
std::string MainFormCaption(const std::string& title, uint32_t pid);

// Removes the work files that download threads of an earlier run left in
// <workDir>/tmp (a killed crawler leaves its threads' files behind): regular
// files of this user named as a thread names its file, "<thread id>.html".
// Nothing else is touched, and nothing through a symbolic link, tmp itself
// included. Call it only while the lock file is held, so no other crawler
// works in this directory. Returns how many were removed; what was removed
// and what could not be goes to the error log.
int RemoveLeftoverWorkFiles(const std::string& workDir);

struct TWindowPlace {
  int Left = 0;
  int Top = 0;
  bool operator==(const TWindowPlace&) const = default;
};
// Where the n-th crawler window (0 for the first) stands: in columns from the
// middle of the screen to the right, each column filled from the top.
TWindowPlace PlaceInGrid(int screenWidth, int screenHeight, int windowWidth, int windowHeight, int n);

}  // namespace tov
