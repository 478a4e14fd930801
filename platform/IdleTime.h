// How long the user has left the machine alone, from the sources that need no
// desktop: the newest access time of the input devices and terminals the user
// can read, and the time since boot. The desktop's own sources (the X11
// screen-saver extension, the idle monitors on D-Bus) are in DesktopIdle.h.
// TBoundedCall keeps a source that may block for ever (a display or bus that
// accepts a connection and then never answers) from holding up its caller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tov {

// Files whose access time tells of the user's last input: in Dir, the
// character devices whose names are Prefix followed by at least one more
// character and that end in a digit ("event3" for "event", "tty1" and
// "ttyS0" for "tty", "0" for "" in /dev/pts).
struct TInputDevices {
  std::string Dir;
  std::string Prefix;
};
// /dev/input/event*, /dev/tty* and /dev/pts/*.
const std::vector<TInputDevices>& DefaultInputDevices();

// Milliseconds from the newest access time among those files that this
// process may read to now (0 when that time lies ahead); nothing when there
// is none. Terminals get their access time set by input, so a user typing in
// a console or over ssh counts as present.
std::optional<uint64_t> InputDeviceIdleMs(const std::vector<TInputDevices>& devices = DefaultInputDevices());

// Milliseconds since boot.
uint64_t UptimeMs();

// The sources of this file in turn: the input devices and terminals, else the
// time since boot (a machine nobody can reach by hand is idle since it started).
uint64_t LocalIdleMs();

// Runs a query that may block on a worker thread of its own and waits for its
// answer a bounded time. While an earlier call has not come back, further
// calls answer nothing at once; one that comes back late makes the worker
// usable again. The worker is made on the first call and runs the query for
// every call, so a query may keep per-thread state (a display connection)
// in what it captures. A worker that is stuck when the object goes is left
// to end by itself; what it uses stays alive until then.
class TBoundedCall {
 public:
  using Query = std::function<std::optional<uint64_t>()>;
  explicit TBoundedCall(Query query);
  ~TBoundedCall();
  TBoundedCall(const TBoundedCall&) = delete;
  TBoundedCall& operator=(const TBoundedCall&) = delete;

  std::optional<uint64_t> Call(uint32_t timeout_ms);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tov
