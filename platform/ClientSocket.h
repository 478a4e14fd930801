// A blocking TCP client connection: connect by host name or address and port,
// send buffers, take what has arrived without waiting, close. Connecting and
// sending are bounded in time, so an unreachable or stalled peer fails instead
// of holding the caller forever; a floor under the pace of a connection's
// sends means a peer that reads just often enough cannot either, while one
// that reads slowly but steadily is never cut.
// Writing to a connection the peer has closed is an error, never a signal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/SysUtils.h"

namespace tov {

TOV_DECLARE_EXCEPTION(ESocketError, Exception);

// How far a connection's sends have got over time, against a floor: in
// every stretch of `window` since the start at least `minBytes` must have
// gone into the connection. Deadline() is the moment that fails should
// nothing more go; without a floor it never comes.
class TSendFloor {
 public:
  using Clock = std::chrono::steady_clock;

  TSendFloor() = default;
  TSendFloor(Clock::duration window, int64_t minBytes, Clock::time_point start);

  // `bytes` more went into the connection at `now`.
  void Moved(int64_t bytes, Clock::time_point now);
  Clock::time_point Deadline() const;
  int64_t Total() const { return total_; }

 private:
  struct Sample {
    Clock::time_point When;
    int64_t Total;  // bytes gone by then
  };
  Clock::duration window_{};
  int64_t min_bytes_ = 0;
  int64_t total_ = 0;
  // From the last moment the total stood at most minBytes below today's on:
  // the window that began then is the one that fails first. Samples less
  // than a second apart are merged into the later one, which can only move
  // the deadline later, so the samples kept span about one window.
  std::deque<Sample> samples_;
};

class TClientSocket {
 public:
  static constexpr int kDefaultConnectTimeoutMs = 20000;
  static constexpr int kDefaultSendTimeoutMs = 120000;

  TClientSocket() = default;
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  void SetHost(std::string host) { host_ = std::move(host); }
  const std::string& Host() const { return host_; }
  void SetPort(int32_t port) { port_ = port; }
  int32_t Port() const { return port_; }
  // Limits per connect attempt and per stalled send; 0 or less waits without limit.
  void SetConnectTimeoutMs(int ms) { connect_timeout_ms_ = ms; }
  void SetSendTimeoutMs(int ms) { send_timeout_ms_ = ms; }
  // A floor under the pace of the sends from now on (TSendFloor): once a
  // window of `window` has taken fewer than minBytes, a send still under way
  // raises ESocketError "Send deadline passed" and leaves the connection
  // inactive. Without one only the stall limit holds.
  using Clock = std::chrono::steady_clock;
  void SetSendFloor(Clock::duration window, int64_t minBytes) { floor_ = TSendFloor(window, minBytes, Clock::now()); }

  // Resolves the host and connects to the first address that answers within
  // the connect limit; raises ESocketError when none does. An open
  // connection is closed first.
  void Open();
  // True from a successful Open until Close, a failed send or receive, or the
  // peer's end of the connection having been seen by ReceiveText.
  bool Active() const { return fd_ >= 0 && !broken_; }

  // Sends all n bytes and returns n. On a connection that was never opened it
  // sends nothing and returns 0; a failure (peer gone, no progress within the
  // send limit, the floor's deadline passed) raises ESocketError and leaves the
  // connection inactive.
  size_t SendBuf(const void* data, size_t n);
  size_t SendText(std::string_view text) { return SendBuf(text.data(), text.size()); }

  // What has arrived so far, possibly nothing; returns at once. At most
  // maxBytes are taken, so a peer that keeps sending cannot make one call grow
  // without end; the rest stays for the next call. A socket error raises
  // ESocketError. Nothing is read from a connection that is not open.
  std::string ReceiveText(size_t maxBytes = SIZE_MAX);

  // Closes the connection; closing one that is not open does nothing.
  void Close();
  // Ends the connection with a reset, dropping whatever is still unsent, so
  // the peer cannot take a cut transfer for a whole one and the system holds
  // no unsent bytes for it. Never raises.
  void Abort() noexcept;

 private:
  bool TryConnect(const void* addr, unsigned addr_len, std::string& error);
  // Waits until the connection takes more bytes; raises as SendBuf does.
  void WaitToSend();

  std::string host_;
  int32_t port_ = 0;
  int connect_timeout_ms_ = kDefaultConnectTimeoutMs;
  int send_timeout_ms_ = kDefaultSendTimeoutMs;
  TSendFloor floor_;
  int fd_ = -1;
  bool broken_ = false;
};

}  // namespace tov
