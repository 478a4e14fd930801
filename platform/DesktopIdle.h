// The user's idle time as the desktop tells it, for the monitor's idle switch:
// the X11 screen-saver extension on the display in $DISPLAY, the desktops'
// idle monitors on the session bus (GNOME's Mutter, KDE's screen saver), and,
// where neither answers, the input devices and terminals, then the time since
// boot (IdleTime.h). Each desktop source runs on a worker thread of its own and
// is waited for at most kDesktopIdleWaitMs, so a display or bus that accepts a
// connection and then never answers costs a tick that much once and nothing
// while it stays stuck; a display that goes away does not end the program.
#pragma once

#include <cstdint>
#include <optional>

namespace tov {

constexpr uint32_t kDesktopIdleWaitMs = 300;

// Milliseconds since the last input on the X display named by $DISPLAY;
// nothing without a display, without the extension or without an answer in
// time. After a failed connection the display is tried again 10 s later.
std::optional<uint64_t> X11IdleMs(uint32_t wait_ms = kDesktopIdleWaitMs);

// Milliseconds since the last input as the session bus's idle monitor tells
// it: org.gnome.Mutter.IdleMonitor's GetIdletime, else
// org.freedesktop.ScreenSaver's GetSessionIdleTime as KDE answers it (in
// milliseconds). The bus is $DBUS_SESSION_BUS_ADDRESS, else
// $XDG_RUNTIME_DIR/bus; nothing without one, without an answer in time, or
// before a QCoreApplication exists. After both services failed they are tried
// again 30 s later.
std::optional<uint64_t> DBusIdleMs(uint32_t wait_ms = kDesktopIdleWaitMs);

// On a Wayland session ($WAYLAND_DISPLAY, or $XDG_SESSION_TYPE "wayland") the
// bus first, since an X server there sees only the input of X clients;
// elsewhere the display first. Then LocalIdleMs.
uint64_t DesktopIdleMs();

// Puts fresh desktop sources in place: new workers, no connection, no retry
// pause. A worker still stuck is left behind to end by itself, as at the end
// of the process. Tests call it so that one case's stuck display or bus, or
// its retry pause, does not reach the next.
void ResetDesktopIdleSources();

}  // namespace tov
