// A blocking TCP client connection: connect by host name or address and port,
// send buffers, take what has arrived without waiting, close. Connecting and
// sending are bounded in time, so an unreachable or stalled peer fails instead
// of holding the caller forever; a deadline bounds all the sends of a
// connection together, so a peer that reads just often enough cannot either.
// Writing to a connection the peer has closed is an error, never a signal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/SysUtils.h"

namespace tov {

TOV_DECLARE_EXCEPTION(ESocketError, Exception);

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
  // A moment by which every send must have ended, however the peer reads: a
  // send still under way then raises ESocketError "Send deadline passed" and
  // leaves the connection inactive. Without one only the stall limit holds.
  using Clock = std::chrono::steady_clock;
  void SetSendDeadline(Clock::time_point deadline) { send_deadline_ = deadline; }

  // Resolves the host and connects to the first address that answers within
  // the connect limit; raises ESocketError when none does. An open
  // connection is closed first.
  void Open();
  // True from a successful Open until Close, a failed send or receive, or the
  // peer's end of the connection having been seen by ReceiveText.
  bool Active() const { return fd_ >= 0 && !broken_; }

  // Sends all n bytes and returns n. On a connection that was never opened it
  // sends nothing and returns 0; a failure (peer gone, no progress within the
  // send limit, the deadline passed) raises ESocketError and leaves the
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
  Clock::time_point send_deadline_ = Clock::time_point::max();
  int fd_ = -1;
  bool broken_ = false;
};

}  // namespace tov
