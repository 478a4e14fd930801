#include "crawler/TovfetchMain.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/Config.h"
#include "common/ErrorLog.h"
#include "common/MessageKinds.h"
#include "common/SharedGlobals.h"
#include "crawler/CloseAllThreads.h"
#include "crawler/CrawlerEngine.h"
#include "platform/GuiApplication.h"
#include "platform/MessageBox.h"
#include "platform/NamedObjects.h"
#include "platform/SysUtils.h"
#include "platform/Threads.h"

namespace tov {

std::atomic<TMainForm*> MainForm{nullptr};
TIPCThread::Owned<TIPCClient> IPCClient;
TFile LockFileHandle;
bool HoltErrorShown = false;

namespace {

constexpr const char* kLockFileName = "CrawlerLockFile.lock";
constexpr int kMemoLineCap = 5000;  // Timer2 clears it every minute anyway

// Texts are Windows-1252 bytes; they become Qt strings only here.
QString ToQt(const std::string& s) { return AnsiToQString(s); }

// The window's own error-log lines: a log that cannot be written must not
// stop the start-up or the shut-down.
void ErrorLogLine(const std::string& msg) {
  try {
    WriteErrorLog(msg);
  } catch (...) {
  }
}

void ShowError(const std::string& text) { ShowMessageBox({text, "", TMsgDlgType::mtError, mbOK}); }

QEvent::Type CloseRequestEvent() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// Config is read on the window thread at start-up and again on the link
// thread on KindSetUserInfo; each reader takes a copy under this lock.
std::mutex g_config_lock;
ConfigData ReadConfigCopy() {
  std::lock_guard<std::mutex> lock(g_config_lock);
  ReadConfig();
  return Config;
}

// A name as a download thread makes it: its id in decimal, ".html".
bool IsWorkFileName(std::string_view name) {
  constexpr std::string_view kSuffix = ".html";
  if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return false;
  const std::string_view id = name.substr(0, name.size() - kSuffix.size());
  if (id.size() > 10 || id.front() == '0') return false;
  return id.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

int RemoveLeftoverWorkFiles(const std::string& workDir) {
  // Safeguard: leftover work files. Work files of killed crawlers do not pile up in tmp; only ours
  // are removed, and never through a symbolic link.
  const std::string tmp = PathJoin(workDir, "tmp");
  struct stat tmp_st {};
  // Without a tmp folder the threads report their own failures.
  if (::lstat(tmp.c_str(), &tmp_st) != 0) return 0;
  if (S_ISLNK(tmp_st.st_mode)) {
    ErrorLogLine("Work files left in tmp are not removed: tmp is a symbolic link");
    return 0;
  }
  if (!S_ISDIR(tmp_st.st_mode)) return 0;
  // O_NOFOLLOW: a link put in its place since is not followed either.
  const int fd = ::open(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  std::unique_ptr<DIR, int (*)(DIR*)> list(fd < 0 ? nullptr : ::fdopendir(fd), &::closedir);
  if (!list) {
    ErrorLogLine(std::string("Work files left in tmp are not removed: ") + std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return 0;
  }
  // Every name is looked at and removed inside the folder opened above.
  const int dir = ::dirfd(list.get());
  int removed = 0;
  while (const dirent* entry = ::readdir(list.get())) {
    const std::string name = entry->d_name;
    if (!IsWorkFileName(name)) continue;
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (::unlinkat(dir, name.c_str(), 0) == 0) {
      ++removed;
    } else {
      ErrorLogLine("Can`t remove the work file tmp/" + name + " that an earlier run left: " + std::strerror(errno));
    }
  }
  if (removed > 0) {
    ErrorLogLine("Removed " + IntToStr(removed) + (removed == 1 ? " work file" : " work files") +
                 " that an earlier run left in tmp");
  }
  return removed;
}

std::string MainFormCaption(const std::string& title, uint32_t pid) {
  return Format("%s (v %s) - %X", {title, AppVersionText, int64_t{pid}});
}

TWindowPlace PlaceInGrid(int screenWidth, int screenHeight, int windowWidth, int windowHeight, int n) {
  // A screen lower than one window still has one row.
  int rows = screenHeight / (windowHeight + 10);
  if (rows < 1) rows = 1;
  if (n < 0) n = 0;
  return {screenWidth / 2 + (n / rows) * (windowWidth + 10), (n % rows) * (windowHeight + 10) + 10};
}

bool MonitorRecordFor(uint8_t what, int32_t runningThreads, TIPCEventData& record) {
  record = TIPCEventData{};
  switch (what) {
    case StatUrlOk: record.Kind = KindUrlOk; return true;
    case StatUrlError: record.Kind = KindUrlError; return true;
    case StatRobotsTxt: record.Kind = KindRobotsTxt; return true;
    case StatThreadCount:
      record.Kind = KindThreadCount;
      record.Text = IntToStr(runningThreads);
      return true;
    default: return false;
  }
}

void LogToMemo(const std::string& msg) {
  try {
    TMainForm* form = MainForm;
    if (form == nullptr || !form->Shown()) return;  // hidden: the line is dropped
    if (QThread::currentThread() == form->thread()) {
      form->AddLogLine(msg);
    } else {
      QMetaObject::invokeMethod(form, [form, msg] { form->AddLogLine(msg); }, Qt::QueuedConnection);
    }
  } catch (...) {
  }
}

void HoltError(const std::string& msg) {
  // Marked before the box: a second fatal error while the first box is open
  // shows no second box either.
  if (HoltErrorShown) return;
  HoltErrorShown = true;
  ErrorLogLine("HoltError: " + msg);
  ShowError("Error: " + msg + " The crawler will now exit.");
  if (TMainForm* form = MainForm) form->PostClose();
}

void SendThreadCount() { NotifyMonitor(StatThreadCount); }

void NotifyMonitor(uint8_t what) {
  try {
    TIPCEventData record;
    if (!MonitorRecordFor(what, what == StatThreadCount ? RunningThreadCount() : 0, record)) {
      LogToMemo("ukjent flag");
      return;
    }
    if (TIPCClient* client = IPCClient.get()) client->SignalMonitor(record);
  } catch (...) {
    // Engine threads call this; a link failure must not end them.
    ErrorLogLine("NotifyMonitor: " + CurrentExceptionClassName() + ": " + CurrentExceptionMessage());
  }
}

void ApplicationTerminate() {
  LogToMemo("runing last exit code");
  // The engine's threads may still run: end the process here, without the
  // static destructors they could trip over. The error log is written per
  // line; only stdio needs flushing.
  std::fflush(nullptr);
  ::_exit(0);
}

TMainForm::TMainForm() {
  HoltErrorShown = false;  // a window's run begins without a fatal error shown
  resize(kWidth, kHeight);
  Label2 = new QLabel("UrlsInQueue:", this);
  UrlsInQueue = new QLabel("0", this);
  Label1 = new QLabel("UrlsInStorageQueue:", this);
  UrlsInStorageQueue = new QLabel("0", this);
  Label3 = new QLabel("Treads", this);
  RuningTreads = new QLabel("0", this);
  Memo1 = new QPlainTextEdit(this);
  Memo1->setReadOnly(true);
  Memo1->setMaximumBlockCount(kMemoLineCap);
  Memo1->appendPlainText("Memo1");

  auto* layout = new QGridLayout(this);
  layout->addWidget(Label2, 0, 0);
  layout->addWidget(UrlsInQueue, 0, 1);
  layout->addWidget(Label1, 1, 0);
  layout->addWidget(UrlsInStorageQueue, 1, 1);
  layout->addWidget(Label3, 2, 0);
  layout->addWidget(RuningTreads, 2, 1);
  layout->addWidget(Memo1, 3, 0, 1, 2);
  layout->setColumnStretch(1, 1);
  layout->setRowStretch(3, 1);

  Timer1 = new QTimer(this);
  Timer1->setInterval(0);
  Timer2 = new QTimer(this);
  Timer2->setInterval(60000);
  Timer3 = new QTimer(this);
  Timer3->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });
  connect(Timer3, &QTimer::timeout, this, [this] { Timer3Timer(); });
}

TMainForm::~TMainForm() { FormDestroy(); }

void TMainForm::FormCreate() {
  ::signal(SIGPIPE, SIG_IGN);  // a failed write to a socket is an error, not the end of the process
  ErrorLogLine("Tovfetch Starting at " + GetCurrentDir());
  SetApplicationExceptionHook([this](void* sender, std::exception_ptr error) { AppException(sender, error); });
  caption_ = MainFormCaption(TApplication::Title(), static_cast<uint32_t>(::getpid()));
  setWindowTitle(ToQt(caption_));

  if (!OpenLockFile()) {
    const std::string text = "Can`t lock lockfile, are more than one crawler runing?";
    Memo1->appendPlainText(ToQt(text));
    ErrorLogLine(text);
    hide();
    Terminate();
    return;
  }
  RemoveLeftoverWorkFiles(GetCurrentDir());
  if (!StartIPCClient()) {
    Terminate();
    return;
  }

  ConfigData config;
  try {
    config = ReadConfigCopy();
  } catch (...) {
    // Without settings the program stays in its message loop without
    // crawling; the line says which file failed and how.
    const std::string text = "Tovfetch can't crawl: " + ConfigReadFailure() + ".";
    ErrorLogLine(text);
    LogToMemo(text);
    ShowError(text);
    return;
  }
  try {
    engine_started_ = true;
    StartCrawler(
        [](const std::string& msg) { LogToMemo(msg); }, AppVersionText,
        [](const std::string& msg) { HoltError(msg); },
        [this](void* sender, std::exception_ptr error) { AppException(sender, error); },
        [](uint8_t what) { NotifyMonitor(what); }, [](const std::string& msg) { WriteErrorLog(msg); },
        [] { ApplicationTerminate(); }, [] { SendThreadCount(); }, config.DedicatedServer,
        config.DedicatedServerName);
    SetUserInfo(config.UserName, config.UserPassword, config.TeamName);
    EnableFetching();
    Timer2->start();
    Timer3->start();
    if (config.CrawlerRestartTime <= 0) {
      Timer1->stop();
    } else {
      const int64_t ms = int64_t{config.CrawlerRestartTime} * 60000;
      Timer1->setInterval(static_cast<int>(ms > INT_MAX ? INT_MAX : ms));
      Timer1->start();
    }
    ErrorLogLine("Tovfetch Startet");
  } catch (...) {
    // With a failed engine start the program stays in its message loop
    // without crawling, and says why.
    const std::string message = CurrentExceptionMessage();
    HandleApplicationException(this);
    ShowError(message);
  }
}

bool TMainForm::OpenLockFile() {
  try {
    TFile file = TFile::OpenExisting(kLockFileName, TFile::Mode::ReadWrite);
    if (!file.TryLockExclusive()) return false;
    LockFileHandle = std::move(file);
    const std::string pid = Format("%X", {int64_t{::getpid()}});
    LockFileHandle.Seek(0);
    LockFileHandle.Write(pid.data(), pid.size());
    return true;
  } catch (const EInOutError&) {
    return LockFileHandle.IsOpen();  // held: a failed write of the id does not stop the start
  }
}

bool TMainForm::StartIPCClient() {
  try {
    IPCClient = TIPCThread::Create<TIPCClient>(static_cast<int32_t>(::getpid()), caption_);
    IPCClient->SetOnConnect([this](TIPCThread* sender, bool connected) { IPCConnect(sender, connected); });
    IPCClient->SetOnSignal([this](TIPCThread* sender, const TIPCEventData& data) { IPCSignal(sender, data); });
    IPCClient->Activate();
    if (IPCClient->State() != stConnected) IPCConnect(nullptr, false);
    QRect screen;
    if (QScreen* s = QGuiApplication::primaryScreen()) screen = s->geometry();
    const TWindowPlace place = PlaceInGrid(screen.width(), screen.height(), kWidth, kHeight, IPCClient->ClientCount() - 1);
    move(place.Left, place.Top);
    return true;
  } catch (...) {
    ErrorLogLine("Can`t start IPC Client");
    const std::string message = CurrentExceptionMessage();
    try {
      throw;
    } catch (const ENamedObjectDirectoryError&) {
      ErrorLogLine(message);  // names the folder and the way to move it
    } catch (...) {
    }
    IPCClient.reset();
    ShowError(message.empty() ? CurrentExceptionClassName() : message);
    return false;
  }
}

void TMainForm::Terminate() {
  terminate_requested_ = true;
  // Queued: the program ends once its message loop runs.
  QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TMainForm::FormDestroy() {
  SetApplicationExceptionHook(nullptr);
  if (MainForm == this) MainForm = nullptr;
  IPCClient.reset();
  try {
    LockFileHandle.Close();
  } catch (...) {
  }
}

void TMainForm::AppException(void* /*sender*/, std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    ErrorLogLine("Error: not Exception or not EAbort");
    ShowError(CurrentExceptionMessage());
  } catch (const std::exception&) {
    const std::string line = "Error: " + CurrentExceptionClassName();
    ErrorLogLine(line);
    LogToMemo(line);
  } catch (...) {
    ErrorLogLine("Error: not Exception or not EAbort");
    ShowError("Exception");
  }
}

void TMainForm::Timer1Timer() { PostClose(); }

void TMainForm::Timer2Timer() {
  try {
    if (!isVisible()) return;
    Memo1->clear();
    Memo1->appendPlainText("clearing log");
  } catch (...) {
  }
}

void TMainForm::Timer3Timer() {
  try {
    if (!isVisible()) return;
    UrlsInQueue->setText(QString::number(QueuedUrlCount()));
    UrlsInStorageQueue->setText(QString::number(PendingSideFileCount()));
    RuningTreads->setText(QString::number(RunningThreadCount()));
  } catch (...) {
  }
}

void TMainForm::WMSysCommand(uint32_t command) {
  if ((command & 0xFFF0) != SC_CLOSE) return;
  Memo1->appendPlainText("exiting");
  if (engine_started_) {
    StopCrawler();  // the window stays open until the process ends
  } else {
    // Nothing runs and the page queue was never loaded: saving it would only
    // empty a "SideFile.dat" that the next start still has to load.
    Terminate();
  }
}

void TMainForm::IPCConnect(TIPCThread* /*sender*/, bool /*connected*/) {}

void TMainForm::IPCSignal(TIPCThread* /*sender*/, const TIPCEventData& data) {
  const std::string text = data.Text.str();
  try {
    LogToMemo("signal");
    switch (data.Kind) {
      case KindSetUserInfo: {
        LogToMemo("Set User Info");
        ConfigData config;
        try {
          config = ReadConfigCopy();
        } catch (...) {
          ErrorLogLine("Set User Info: " + ConfigReadFailure() + "; the account stays as it was");
          break;
        }
        SetUserInfo(config.UserName, config.UserPassword, config.TeamName);
        break;
      }
      case KindShowForm:
        LogToMemo("show form");
        QMetaObject::invokeMethod(this, [this] { show(); raise(); }, Qt::QueuedConnection);
        break;
      case KindHideForm:
        LogToMemo("Hide form");
        QMetaObject::invokeMethod(this, [this] { hide(); }, Qt::QueuedConnection);
        break;
      case KindSetCrawlers:
        LogToMemo("SetCrawlers: " + text);
        SetCrawlers(StrToInt(text));
        break;
      case KindExit:
        ErrorLogLine("Askt to exit");
        PostClose();
        break;
      default:
        LogToMemo("ukjent flag" + text);
        ErrorLogLine("ukjent flag" + text);
        break;
    }
  } catch (...) {
    // The link only traces it; the error log says what was refused.
    ErrorLogLine("IPCSignal kind " + IntToStr(data.Kind) + ": " + CurrentExceptionClassName() + ": " +
                 CurrentExceptionMessage());
    throw;
  }
}

void TMainForm::PostClose() { QCoreApplication::postEvent(this, new QEvent(CloseRequestEvent())); }

void TMainForm::AddLogLine(const std::string& msg) {
  if (isVisible()) Memo1->appendPlainText(ToQt(msg));
}

void TMainForm::setVisible(bool visible) {
  QWidget::setVisible(visible);
  shown_ = isVisible();
}

bool TMainForm::event(QEvent* e) {
  if (e->type() == CloseRequestEvent()) {
    WMSysCommand(SC_CLOSE);
    return true;
  }
  return QWidget::event(e);
}

void TMainForm::closeEvent(QCloseEvent* e) {
  // Closing the window asks for the orderly shut-down; the window stays.
  e->ignore();
  WMSysCommand(SC_CLOSE);
}

}  // namespace tov
