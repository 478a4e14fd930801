#include "monitor/MonitorLink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/ErrorLog.h"
#include "common/MessageKinds.h"
#include "monitor/Supervision.h"
#include "monitor/TestHook.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "platform/SysUtils.h"

namespace tov {

std::atomic<int32_t> UrlsOkCount{0};
std::atomic<int32_t> UrlsInErrorCount{0};
std::atomic<int32_t> RobotsTxtCount{0};
std::atomic<int32_t> MissedHeartbeats{0};
std::atomic<int32_t> ReportedCrawlers{0};
std::atomic<bool> Exiting{false};
uint32_t WinMajorVersion = 0;

namespace {

TTestHook<TCrawlerLauncher>& Launcher() {
  static auto* hook = new TTestHook<TCrawlerLauncher>;
  return *hook;
}

}  // namespace

bool IsBackgroundSwitch(std::string_view param) {
  return param.size() == 2 && (param[0] == '-' || param[0] == '/' || param[0] == '|') && param[1] == 'b';
}

bool HasBackgroundSwitch(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && IsBackgroundSwitch(argv[i])) return true;
  }
  return false;
}

std::vector<TClientMenuItem> ClientMenuItems(const std::vector<TClientEntry>& names) {
  if (names.empty()) return {{"(None)", 0, false}};
  std::vector<TClientMenuItem> items;
  for (const TClientEntry& line : names) items.push_back({line.Name, line.ID, true});
  return items;
}

TCrawlerStart LaunchCrawler(const std::string& dir) {
  TCrawlerStart start;
  start.Program = LocateProgram(kCrawlerProgram, dir);
  // Safeguard: crawler end logged. A crawler that ends at once (its library
  // gone, say) is otherwise seen only as a silent one four minutes later. The
  // reaper thread may run while the monitor ends: it touches nothing but the
  // error log, which lives as long as the process.
  start.Pid = SpawnProgram(start.Program, [](int32_t pid, int wait_status) {
    TryWriteErrorLog(std::string(kCrawlerProgram) + " (process " + IntToStr(pid) + ") " + WaitStatusText(wait_status));
  });
  if (start.Pid < 0) start.Error = errno;
  return start;
}

void SetCrawlerLauncher(TCrawlerLauncher launcher) { Launcher().Set(std::move(launcher)); }

void TryWriteErrorLog(std::string_view msg) {
  try {
    WriteErrorLog(msg);
  } catch (...) {
    std::string line = "ErrorLog.txt: " + CurrentExceptionMessage() + ": " + std::string(msg) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
}

// What the link thread's handlers share with the window thread. The handlers
// hold it by a shared pointer, so it outlives a link thread that ends late.
struct TMonitorLink::Shared {
  explicit Shared(TMonitorWindowPosts p) : posts(std::move(p)) {}

  template <class Fn>
  void Post(Fn fn) {
    std::lock_guard<std::mutex> lock(mutex);
    fn(posts);
  }
  void SetStatusText(std::string text) {
    std::lock_guard<std::mutex> lock(mutex);
    status_text = std::move(text);
  }

  void ClientSignal(const TIPCEventData& data) {
    switch (data.Kind) {
      case KindUrlOk:
        ++UrlsOkCount;
        break;
      case KindUrlError:
        ++UrlsInErrorCount;
        break;
      case KindRobotsTxt:
        ++RobotsTxtCount;
        break;
      case KindThreadCount:
        MissedHeartbeats = 0;
        try {
          ReportedCrawlers = StrToInt(data.Text.view());
        } catch (const EConvertError&) {
          // The link thread traces it and goes on; the count stays as it was.
          TryWriteErrorLog("Heartbeat whose thread count is not a number: " + data.Text.str());
          throw;
        }
        break;
      default:
        TryWriteErrorLog("ukjent flag " + IntToStr(data.Kind));
        Post([&](TMonitorWindowPosts& p) {
          if (p.UnknownKind) p.UnknownKind(data.Kind);
        });
        break;
    }
  }

  void ClientConnect(TIPCMonitor* monitor, bool connected) {
    if (connected) {
      SetStatusText(monitor->CurrentClientName());
      monitor->SignalClientFlags(client_flags.load());
    } else {
      SetStatusText(kNoCrawlerClient);
    }
    Post([](TMonitorWindowPosts& p) {
      if (p.StatusText) p.StatusText();
    });
  }

  void DirectoryUpdate() {
    Post([](TMonitorWindowPosts& p) {
      if (p.ClientsChanged) p.ClientsChanged();
    });
  }

  std::mutex mutex;
  TMonitorWindowPosts posts;
  std::string status_text;
  std::atomic<uint16_t> client_flags{0};
};

TMonitorLink::TMonitorLink(TMonitorWindowPosts posts) : shared_(std::make_shared<Shared>(std::move(posts))) {}

TMonitorLink::~TMonitorLink() {
  DetachWindow();
  FreeMonitor();
}

void TMonitorLink::DetachWindow() {
  shared_->Post([](TMonitorWindowPosts& p) { p = {}; });
}

void TMonitorLink::CreateMonitor() {
  FreeMonitor();
  auto monitor = TIPCMonitor::Create(CurrentProcessId(), "Monitor");
  std::shared_ptr<Shared> shared = shared_;
  monitor->SetOnSignal([shared](TIPCThread*, const TIPCEventData& data) { shared->ClientSignal(data); });
  monitor->SetOnConnect([shared](TIPCThread* sender, bool connected) {
    shared->ClientConnect(static_cast<TIPCMonitor*>(sender), connected);
  });
  monitor->SetOnDirectoryUpdate([shared](TIPCThread*) { shared->DirectoryUpdate(); });
  // Flags, status and menu are settled before the link thread starts: a
  // crawler it attaches at once must neither get flags 0 nor have its name
  // overwritten by "No Crawler Client".
  shared_->client_flags = kClientFlags;
  shared_->DirectoryUpdate();
  shared_->ClientConnect(monitor.get(), false);
  monitor->Activate();
  monitor_ = std::move(monitor);
}

void TMonitorLink::FreeMonitor() { monitor_.reset(); }

std::string TMonitorLink::StatusText() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->status_text;
}

uint16_t TMonitorLink::ClientFlags() const { return shared_->client_flags.load(); }

void TMonitorLink::ClientSignal(TIPCThread*, const TIPCEventData& data) { shared_->ClientSignal(data); }

void TMonitorLink::ClientConnect(TIPCThread* sender, bool connected) {
  shared_->ClientConnect(static_cast<TIPCMonitor*>(sender), connected);
}

void TMonitorLink::DirectoryUpdate(TIPCThread*) { shared_->DirectoryUpdate(); }

void TMonitorLink::Send(int32_t kind, std::string_view text) {
  if (!monitor_) return;
  TIPCEventData data;
  data.Kind = kind;
  data.Text = text;
  monitor_->SignalClient(data);
}

void TMonitorLink::SendExit(int32_t crawlers) {
  Send(KindExit, IntToStr(crawlers));
  if (monitor_ && monitor_->State() == stConnected) monitor_->WaitClientTook(TIPCThread::kHandshakeWaitMs);
}

void TMonitorLink::SendClientFlags() {
  if (monitor_) monitor_->SignalClientFlags(ClientFlags());
}

std::vector<TClientMenuItem> TMonitorLink::ClientMenu() const {
  std::vector<TClientEntry> names;
  if (monitor_) monitor_->GetClientNames(names);
  return ClientMenuItems(names);
}

void TMonitorLink::ClientMenuClick(int32_t tag) {
  if (monitor_ && tag != monitor_->CurrentClientID()) monitor_->SetCurrentClient(tag);
}

bool TMonitorLink::StartCrawler() {
  if (Exiting) return false;
  TCrawlerLauncher launcher = Launcher().Get();
  const TCrawlerStart start = launcher ? launcher() : LaunchCrawler(ProgramDir());
  if (start.Pid > 0) return true;
  TryWriteErrorLog("Couldn't execute the application " + start.Program + ": " + std::strerror(start.Error));
  ShowMessageBox({"Couldn't execute the application", "Error", TMsgDlgType::mtWarning, mbOK});
  return false;
}

}  // namespace tov
