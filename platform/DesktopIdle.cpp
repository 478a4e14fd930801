#include "platform/DesktopIdle.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>

// After Qt: Xlib's macros (Bool, Status, None, ...) would break Qt's headers.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/IdleTime.h"

namespace tov {

namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// What the caller wants next, handed to a worker: the address or display name
// as the caller's environment had it (the worker reads no environment).
class Wanted {
 public:
  void Set(std::string value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = std::move(value);
  }
  std::string Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  std::string value_;
};

// Xlib's own handler for a broken connection ends the process; ours leaves
// that to the display's exit handler below. A handler someone else installed
// (the window toolkit's) stays.
int QuietIoError(Display*) { return 0; }

void ReplaceEndingIoErrorHandler() {
  XIOErrorHandler installed = XSetIOErrorHandler(nullptr);
  XIOErrorHandler xlib_default = XSetIOErrorHandler(installed);
  if (installed == xlib_default) XSetIOErrorHandler(&QuietIoError);
}

// Safeguard: clean exit during a display hang.
// Xlib tears down its global locks in a destructor when the process ends; a
// worker still inside Xlib then (its display let go just as the process
// ended) would crash the ending process. The end waits up to 2 s for workers
// inside Xlib, and none enters it once the end has begun. A worker that stays
// stuck (a display that never answers) is left behind, still blocked.
class XlibExitGate {
 public:
  // A place inside Xlib for as long as it lives; none once the end has begun.
  class Inside {
   public:
    Inside() : entered_(Get().Enter()) {}
    ~Inside() {
      if (entered_) Get().Leave();
    }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    explicit operator bool() const { return entered_; }

   private:
    const bool entered_;
  };

 private:
  static XlibExitGate& Get() {
    static auto* gate = [] {
      auto* g = new XlibExitGate;
      std::atexit([] { Get().CloseAtExit(); });
      return g;
    }();
    return *gate;
  }

  bool Enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    ++inside_;
    return true;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --inside_;
    left_.notify_all();
  }

  void CloseAtExit() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    // Long enough for a woken worker to leave on a loaded machine (half a
    // second was not, under the sanitizers); a stuck one costs the end this.
    left_.wait_for(lock, std::chrono::milliseconds(2000), [&] { return inside_ == 0; });
  }

  std::mutex mutex_;
  std::condition_variable left_;
  int inside_ = 0;
  bool closed_ = false;
};

// One connection to an X display, used only on the X11 worker thread.
class X11Connection {
 public:
  explicit X11Connection(std::shared_ptr<Wanted> wanted) : wanted_(std::move(wanted)) {}
  // Reached when a reset lets the worker end; once the process ends, Xlib
  // is left alone.
  ~X11Connection() {
    if (XlibExitGate::Inside inside; inside) Close();
  }
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  std::optional<uint64_t> Query() {
    const XlibExitGate::Inside inside;
    if (!inside) return std::nullopt;
    return QueryInsideXlib();
  }

 private:
  std::optional<uint64_t> QueryInsideXlib() {
    const std::string name = wanted_->Get();
    if (display_ != nullptr && (broken_ || name != name_)) Close();
    if (name.empty()) return std::nullopt;
    if (display_ == nullptr && !Open(name)) return std::nullopt;
    if (XScreenSaverQueryInfo(display_, DefaultRootWindow(display_), info_) == 0 || broken_) {
      Close();
      next_try_ = Clock::now() + std::chrono::seconds(10);
      return std::nullopt;
    }
    return static_cast<uint64_t>(info_->idle);
  }

  // Called by Xlib in place of ending the process when the connection breaks.
  static void OnConnectionLost(Display*, void* self) { static_cast<X11Connection*>(self)->broken_ = true; }

  bool Open(const std::string& name) {
    if (Clock::now() < next_try_ && name == name_) return false;
    name_ = name;
    next_try_ = Clock::now() + std::chrono::seconds(10);
    display_ = XOpenDisplay(name.c_str());
    if (display_ == nullptr) return false;
    broken_ = false;
    ReplaceEndingIoErrorHandler();
    XSetIOErrorExitHandler(display_, &X11Connection::OnConnectionLost, this);
    int event_base = 0;
    int error_base = 0;
    if (XScreenSaverQueryExtension(display_, &event_base, &error_base) == 0 || broken_ ||
        (info_ = XScreenSaverAllocInfo()) == nullptr) {
      Close();
      return false;
    }
    return true;
  }

  void Close() {
    if (info_ != nullptr) XFree(info_);
    info_ = nullptr;
    if (display_ != nullptr) XCloseDisplay(display_);
    display_ = nullptr;
  }

  std::shared_ptr<Wanted> wanted_;
  Display* display_ = nullptr;
  XScreenSaverInfo* info_ = nullptr;
  bool broken_ = false;
  std::string name_;
  Clock::time_point next_try_{};
};

// The session bus's idle monitors, used only on the D-Bus worker thread.
class BusIdleMonitors {
 public:
  explicit BusIdleMonitors(std::shared_ptr<Wanted> wanted) : wanted_(std::move(wanted)), name_(NextConnectionName()) {}
  ~BusIdleMonitors() { Disconnect(); }
  BusIdleMonitors(const BusIdleMonitors&) = delete;
  BusIdleMonitors& operator=(const BusIdleMonitors&) = delete;

  std::optional<uint64_t> Query() {
    const std::string address = wanted_->Get();
    if (connected_ && address != address_) Disconnect();
    if (address.empty() || QCoreApplication::instance() == nullptr || Clock::now() < next_try_) return std::nullopt;
    if (!connected_ && !Connect(address)) return std::nullopt;
    QDBusConnection bus(name_);
    for (int i = 0; i < 2; ++i) {
      const int service = (preferred_ + i) % 2;
      if (std::optional<uint64_t> ms = Ask(bus, service)) {
        preferred_ = service;
        return ms;
      }
    }
    if (!bus.isConnected()) Disconnect();
    next_try_ = Clock::now() + std::chrono::seconds(30);
    return std::nullopt;
  }

 private:
  static constexpr int kCallTimeoutMs = 100;

  // A worker left behind by a reset lets go of its connection by name when
  // it comes back, which must not be the name of the fresh source's.
  static QString NextConnectionName() {
    static std::atomic<int> made{0};
    const int n = made++;
    return n == 0 ? QStringLiteral("tovrane-idle-time") : QStringLiteral("tovrane-idle-time-%1").arg(n);
  }

  bool Connect(const std::string& address) {
    address_ = address;
    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromStdString(address), name_);
    connected_ = true;
    if (bus.isConnected()) return true;
    Disconnect();
    next_try_ = Clock::now() + std::chrono::seconds(10);
    return false;
  }

  void Disconnect() {
    if (!connected_) return;
    QDBusConnection::disconnectFromBus(name_);
    connected_ = false;
  }

  // 0: GNOME's Mutter (milliseconds, 64-bit); 1: KDE's screen saver.
  static std::optional<uint64_t> Ask(QDBusConnection& bus, int service) {
    QDBusMessage call =
        service == 0 ? QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Mutter.IdleMonitor"),
                                                      QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
                                                      QStringLiteral("org.gnome.Mutter.IdleMonitor"),
                                                      QStringLiteral("GetIdletime"))
                     : QDBusMessage::createMethodCall(
                           QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/ScreenSaver"),
                           QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("GetSessionIdleTime"));
    call.setAutoStartService(false);  // a desktop without the service must not get one started
    QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return std::nullopt;
    const QVariant value = reply.arguments().front();
    const QMetaType wanted = service == 0 ? QMetaType::fromType<qulonglong>() : QMetaType::fromType<uint>();
    if (value.metaType() != wanted) return std::nullopt;
    return static_cast<uint64_t>(value.toULongLong());
  }

  std::shared_ptr<Wanted> wanted_;
  const QString name_;
  bool connected_ = false;
  std::string address_;
  int preferred_ = 0;
  Clock::time_point next_try_{};
};

// A desktop source: its worker and what the caller hands it.
template <class Connection>
struct DesktopSource {
  DesktopSource() {
    auto connection = std::make_shared<Connection>(wanted);
    call = std::make_unique<TBoundedCall>([connection] { return connection->Query(); });
  }
  std::shared_ptr<Wanted> wanted = std::make_shared<Wanted>();
  std::unique_ptr<TBoundedCall> call;
};

// Kept for the life of the process, never destroyed at its end: a worker may
// be stuck for ever. Only a reset replaces the source.
template <class Connection>
class SourceSlot {
 public:
  static SourceSlot& Get() {
    static auto* slot = new SourceSlot;
    return *slot;
  }
  std::shared_ptr<DesktopSource<Connection>> Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return source_;
  }
  void Reset() {
    auto fresh = std::make_shared<DesktopSource<Connection>>();
    std::lock_guard<std::mutex> lock(mutex_);
    source_.swap(fresh);
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<DesktopSource<Connection>> source_ = std::make_shared<DesktopSource<Connection>>();
};

std::string SessionBusAddress() {
  std::string address = Env("DBUS_SESSION_BUS_ADDRESS");
  if (!address.empty()) return address;
  const std::string runtime = Env("XDG_RUNTIME_DIR");
  if (runtime.empty()) return "";
  const std::string socket = runtime + "/bus";
  return ::access(socket.c_str(), F_OK) == 0 ? "unix:path=" + socket : "";
}

}  // namespace

std::optional<uint64_t> X11IdleMs(uint32_t wait_ms) {
  const std::string display = Env("DISPLAY");
  if (display.empty()) return std::nullopt;
  auto source = SourceSlot<X11Connection>::Get().Current();
  source->wanted->Set(display);
  return source->call->Call(wait_ms);
}

std::optional<uint64_t> DBusIdleMs(uint32_t wait_ms) {
  const std::string address = SessionBusAddress();
  if (address.empty()) return std::nullopt;
  auto source = SourceSlot<BusIdleMonitors>::Get().Current();
  source->wanted->Set(address);
  return source->call->Call(wait_ms);
}

uint64_t DesktopIdleMs() {
  const bool wayland = !Env("WAYLAND_DISPLAY").empty() || Env("XDG_SESSION_TYPE") == "wayland";
  std::optional<uint64_t> ms = wayland ? DBusIdleMs() : X11IdleMs();
  if (!ms) ms = wayland ? X11IdleMs() : DBusIdleMs();
  return ms ? *ms : LocalIdleMs();
}

void ResetDesktopIdleSources() {
  SourceSlot<X11Connection>::Get().Reset();
  SourceSlot<BusIdleMonitors>::Get().Reset();
}

}  // namespace tov
