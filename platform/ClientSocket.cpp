#include "platform/ClientSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <memory>

namespace tov {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

struct AddrInfoFree {
  void operator()(addrinfo* p) const noexcept { freeaddrinfo(p); }
};

using Clock = std::chrono::steady_clock;

// Waits until fd is writable or `until` passes (Clock::time_point::max():
// without limit); false on time-out. An error of the socket counts as
// writable, so that the call that follows reports it.
bool WaitWritableUntil(int fd, Clock::time_point until) {
  for (;;) {
    int wait_ms = -1;
    if (until != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return false;
      wait_ms = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    }
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, wait_ms);
    if (r > 0 || (r < 0 && errno != EINTR)) return true;
  }
}

// The moment a wait of timeout_ms from now ends; 0 or less: never.
Clock::time_point After(int timeout_ms) {
  return timeout_ms > 0 ? Clock::now() + std::chrono::milliseconds(timeout_ms) : Clock::time_point::max();
}

}  // namespace

TSendFloor::TSendFloor(Clock::duration window, int64_t minBytes, Clock::time_point start)
    : window_(window), min_bytes_(minBytes), samples_{{start, 0}} {}

void TSendFloor::Moved(int64_t bytes, Clock::time_point now) {
  if (samples_.empty() || bytes <= 0) return;
  total_ += bytes;
  const size_t n = samples_.size();
  if (n >= 2 && now - samples_[n - 2].When < std::chrono::seconds(1)) {
    samples_.back() = {now, total_};
  } else {
    samples_.push_back({now, total_});
  }
  // The window that fails first began at the first sample above this.
  while (samples_.size() > 1 && samples_.front().Total <= total_ - min_bytes_) samples_.pop_front();
}

Clock::time_point TSendFloor::Deadline() const {
  return samples_.empty() ? Clock::time_point::max() : samples_.front().When + window_;
}

TClientSocket::~TClientSocket() {
  if (fd_ >= 0) ::close(fd_);
}

bool TClientSocket::TryConnect(const void* addr, unsigned addr_len, std::string& error) {
  const auto* sa = static_cast<const sockaddr*>(addr);
  int fd = ::socket(sa->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = ErrnoText(errno);
    return false;
  }
  int err = 0;
  if (::connect(fd, sa, addr_len) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      if (!WaitWritableUntil(fd, After(connect_timeout_ms_))) {
        err = ETIMEDOUT;
      } else {
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
  }
  if (err != 0) {
    ::close(fd);
    error = ErrnoText(err);
    return false;
  }
  // Blocking from here on; sends wait for room in WaitToSend, within their limits.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  broken_ = false;
  return true;
}

void TClientSocket::Open() {
  Close();
  if (port_ <= 0 || port_ > 65535) throw ESocketError("Invalid port " + std::to_string(port_));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string port = std::to_string(port_);
  int r = ::getaddrinfo(host_.c_str(), port.c_str(), &hints, &found);
  if (r != 0) throw ESocketError("Cannot resolve host " + host_ + ": " + gai_strerror(r));
  std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  std::string error = "no address";
  for (addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    if (TryConnect(a->ai_addr, a->ai_addrlen, error)) return;
  }
  throw ESocketError("Cannot connect to " + host_ + ":" + port + ": " + error);
}

size_t TClientSocket::SendBuf(const void* data, size_t n) {
  if (fd_ < 0) return 0;
  if (broken_) throw ESocketError("Connection is no longer active");
  const auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    if (Clock::now() >= floor_.Deadline()) {
      broken_ = true;
      throw ESocketError("Send deadline passed");
    }
    // Never blocks in the call itself: the waits are WaitToSend's, bounded.
    ssize_t w = ::send(fd_, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w >= 0) {
      done += static_cast<size_t>(w);
      floor_.Moved(w, Clock::now());
      continue;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      WaitToSend();
      continue;
    }
    broken_ = true;
    throw ESocketError("Send failed: " + ErrnoText(err));
  }
  return n;
}

void TClientSocket::WaitToSend() {
  const Clock::time_point stall_end = After(send_timeout_ms_);
  const Clock::time_point deadline = floor_.Deadline();
  const bool deadline_first = deadline <= stall_end;
  if (!WaitWritableUntil(fd_, deadline_first ? deadline : stall_end)) {
    broken_ = true;
    throw ESocketError(deadline_first ? "Send deadline passed" : "Send timed out");
  }
}

std::string TClientSocket::ReceiveText(size_t maxBytes) {
  std::string out;
  if (fd_ < 0 || broken_) return out;
  char buf[8192];
  while (out.size() < maxBytes) {
    ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, maxBytes - out.size()), MSG_DONTWAIT);
    if (r > 0) {
      out.append(buf, static_cast<size_t>(r));
      continue;
    }
    if (r == 0) {  // the peer has closed its end
      broken_ = true;
      return out;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return out;
    broken_ = true;
    throw ESocketError("Receive failed: " + ErrnoText(err));
  }
  return out;
}

void TClientSocket::Close() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  broken_ = false;
  if (::close(fd) != 0 && errno != EINTR) throw ESocketError("Close failed: " + ErrnoText(errno));
}

void TClientSocket::Abort() noexcept {
  if (fd_ < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd_);
  fd_ = -1;
  broken_ = false;
}

}  // namespace tov
