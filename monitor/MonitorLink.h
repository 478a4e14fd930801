// The monitor's side of the link to the crawler, without a window: the
// counters that the crawler's reports move, the link monitor and its
// handlers, the commands sent to the crawler, the Crawlers menu's model and
// the start of the crawler program. The main window wires its controls to
// this; everything here can be tested without one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/IpcThreads.h"

namespace tov {

// Written by the link thread, read by the window thread. MissedHeartbeats is
// reset by the link thread and counted up by the window's tick.
extern std::atomic<int32_t> UrlsOkCount;
extern std::atomic<int32_t> UrlsInErrorCount;
extern std::atomic<int32_t> RobotsTxtCount;
extern std::atomic<int32_t> MissedHeartbeats;
extern std::atomic<int32_t> ReportedCrawlers;
// Set once the user exits; from then on StartCrawler starts nothing.
extern std::atomic<bool> Exiting;
// The system's major version, taken at start.
extern uint32_t WinMajorVersion;

// The status text while no crawler is attached.
constexpr const char* kNoCrawlerClient = "No Crawler Client";
// The flag word sent to every crawler on attach.
constexpr uint16_t kClientFlags = 0x230E;

// The command-line switch that starts the monitor with only its tray icon: a
// parameter that is "-", "/" or "|" followed by exactly "b".
bool IsBackgroundSwitch(std::string_view param);
// Whether any parameter after the program name is that switch.
bool HasBackgroundSwitch(int argc, const char* const* argv);

// One item of the Crawlers menu: a client to switch to, or the disabled
// "(None)" when there is no client (Tag 0 then).
struct TClientMenuItem {
  std::string Caption;
  int32_t Tag = 0;
  bool Enabled = false;
  bool operator==(const TClientMenuItem&) const = default;
};
std::vector<TClientMenuItem> ClientMenuItems(const std::vector<TClientEntry>& names);

// What a start of the crawler program gave: the child's id, or -1 and the
// errno of the failure. Program names what was started: a path, or a name
// looked up on PATH.
struct TCrawlerStart {
  int32_t Pid = -1;
  std::string Program;
  int Error = 0;
};
// Starts the crawler program.
using TCrawlerLauncher = std::function<TCrawlerStart()>;
// The program "Tovfetch" in dir (LocateProgram: whatever stands there under
// that name, else the one on PATH), started in the current directory. When a
// crawler started here ends, the error log gets one line with its exit code
// or the signal that ended it. StartCrawler takes dir from ProgramDir().
TCrawlerStart LaunchCrawler(const std::string& dir);
// Tests put their own crawler here; nullptr restores LaunchCrawler.
void SetCrawlerLauncher(TCrawlerLauncher launcher);

// Appends a line to the error log; when the log cannot be written the line
// goes to standard error instead, so a start-up never fails for it.
void TryWriteErrorLog(std::string_view msg);

// What the link thread asks of the window. Each call only posts work to the
// window thread and returns.
struct TMonitorWindowPosts {
  std::function<void()> StatusText;              // show StatusText()
  std::function<void()> ClientsChanged;          // rebuild the Crawlers menu
  std::function<void(int32_t kind)> UnknownKind; // the "ukjent flag" box
};

// Owns the link monitor. All calls but the three link handlers are made on
// the window thread; the handlers run on the link thread.
class TMonitorLink {
 public:
  explicit TMonitorLink(TMonitorWindowPosts posts);
  // Drops the posts, then frees the link monitor.
  ~TMonitorLink();
  TMonitorLink(const TMonitorLink&) = delete;
  TMonitorLink& operator=(const TMonitorLink&) = delete;

  // Creates and activates the link monitor with this process's id as its id
  // and the name "Monitor". Raises what creating or activating raises
  // (EMonitorActive when another monitor runs); nothing is left behind then.
  void CreateMonitor();
  void FreeMonitor();
  // Drops the posts: once this returns no handler reaches the window, also
  // one still running on a link thread that ends late. For a window that is
  // going away.
  void DetachWindow();
  TIPCMonitor* IPCMonitor() const { return monitor_.get(); }

  // The text the status bar is to show.
  std::string StatusText() const;
  uint16_t ClientFlags() const;

  // The link handlers.
  void ClientSignal(TIPCThread* sender, const TIPCEventData& data);
  void ClientConnect(TIPCThread* sender, bool connected);
  void DirectoryUpdate(TIPCThread* sender);

  // Sends the current crawler a record with this kind and text, flag word 0;
  // dropped by the link while no crawler is attached.
  void Send(int32_t kind, std::string_view text = {});
  // KindExit with the wanted number of download threads. Returns once the
  // crawler has taken it, or after 2 s, so that freeing the link monitor
  // next cannot overwrite it; it does not wait for the crawler to end.
  void SendExit(int32_t crawlers);
  void SendClientFlags();

  // The Crawlers menu as the client directory stands now.
  std::vector<TClientMenuItem> ClientMenu() const;
  // Switches to the client of a menu item unless it is the current one.
  void ClientMenuClick(int32_t tag);

  // Starts the crawler program unless the user is exiting; when it cannot be
  // started, logs what was tried and why and shows "Couldn't execute the
  // application". True when a program was started.
  bool StartCrawler();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  TIPCThread::Owned<TIPCMonitor> monitor_;
};

}  // namespace tov
