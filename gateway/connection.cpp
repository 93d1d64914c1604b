#include "gateway/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "gateway/connection_internal.h"

namespace brenvik {

using net_detail::FailureFromErrno;
using net_detail::WaitFor;
using net_detail::WaitResult;

namespace {

constexpr std::string_view kNoError = "No Error";
constexpr std::string_view kDeviceTimeout = "Device timeout";
constexpr std::string_view kDeviceIoError = "Device I/O error";
constexpr std::string_view kPermissionDenied = "Permission denied";
constexpr std::string_view kBadFileNameOrNumber = "Bad file name or number";

// The system's maximum (listen() caps it at net.core.somaxconn): a burst of
// clients waits in the kernel's queue while the worker paces its accepts.
constexpr int kListenBacklog = INT_MAX;
constexpr std::size_t kMaxLineBytes = kReceiveBufferSize;  // received bytes per line, CR included
constexpr std::size_t kMaxHostNameLength = 1024;

using Clock = std::chrono::steady_clock;

// Errors of the socket layer that mean "an operation is already under way".
bool IsInProgress(int error) { return error == EINPROGRESS || error == EALREADY; }

// Errors accept() reports for a client that went away before it was taken;
// the listener itself is fine, so the wait goes on.
bool IsTransientAcceptError(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

void CloseDescriptor(int fd) {
  if (fd >= 0) ::close(fd);  // EINTR on close leaves the descriptor closed on Linux
}

// A blocking connect interrupted by a signal goes on in the background; wait
// for its outcome instead of reporting the interruption.
int FinishInterruptedConnect(int fd) {
  int error = 0;
  if (WaitFor(fd, POLLOUT, -1, error) != WaitResult::Ready) return error ? error : EIO;
  socklen_t len = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
  return error;
}

}  // namespace

namespace net_detail {

NetFailure FailureFromErrno(int error) {
  return IsInProgress(error) ? NetFailure::InProgress : NetFailure::IoError;
}

WaitResult WaitFor(int fd, short events, int timeout_ms, int& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  int wait_ms = timeout_ms;
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, wait_ms);
    if (n > 0) return WaitResult::Ready;  // errors and hang-ups surface in the next call
    if (n == 0) return WaitResult::TimedOut;
    if (errno != EINTR) {
      error = errno;
      return WaitResult::Failed;
    }
    if (timeout_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = static_cast<int>(std::max<long long>(left.count(), 0));
    }
  }
}

}  // namespace net_detail

std::string_view DescribeFailure(NetFailure failure) {
  switch (failure) {
    case NetFailure::None: return kNoError;
    case NetFailure::Timeout: return kDeviceTimeout;
    case NetFailure::IoError: return kDeviceIoError;
    case NetFailure::InProgress: return kPermissionDenied;
    case NetFailure::NotOpen: return kBadFileNameOrNumber;
  }
  return kDeviceIoError;
}

// ---------------------------------------------------------------------------
// Connection

Connection::~Connection() {
  EndTls();
  CloseDescriptor(fd_);
}

Connection::Connection(Connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      timeout_ms_(other.timeout_ms_),
      buffer_(std::move(other.buffer_)),
      capacity_(std::exchange(other.capacity_, kReceiveBufferSize)),
      unread_(std::exchange(other.unread_, 0)),
      short_read_(std::exchange(other.short_read_, false)),
      nothing_pending_(std::exchange(other.nothing_pending_, false)),
      failure_(std::exchange(other.failure_, NetFailure::None)),
      system_error_(std::exchange(other.system_error_, 0)),
      ssl_(std::exchange(other.ssl_, nullptr)),
      deadline_(std::exchange(other.deadline_, Clock::time_point::max())),
      wait_limit_(other.wait_limit_) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    EndTls();
    CloseDescriptor(fd_);
    fd_ = std::exchange(other.fd_, -1);
    timeout_ms_ = other.timeout_ms_;
    buffer_ = std::move(other.buffer_);
    capacity_ = std::exchange(other.capacity_, kReceiveBufferSize);
    unread_ = std::exchange(other.unread_, 0);
    short_read_ = std::exchange(other.short_read_, false);
    nothing_pending_ = std::exchange(other.nothing_pending_, false);
    failure_ = std::exchange(other.failure_, NetFailure::None);
    system_error_ = std::exchange(other.system_error_, 0);
    ssl_ = std::exchange(other.ssl_, nullptr);
    deadline_ = std::exchange(other.deadline_, Clock::time_point::max());
    wait_limit_ = other.wait_limit_;
  }
  return *this;
}

bool Connection::FailSystem(int error) {
  system_error_ = error;
  return Fail(FailureFromErrno(error));
}

bool Connection::Fail(NetFailure failure) {
  failure_ = failure;
  return false;
}

bool Connection::Unread(std::string_view bytes) {
  if (fd_ < 0) return Fail(NetFailure::NotOpen);
  if (bytes.empty()) return true;
  const std::size_t needed = unread_ + bytes.size();
  if (needed > kMaxBufferedBytes) return false;  // caller's bug, not the peer's
  EnsureBuffer();
  if (needed > capacity_) {
    // A whole read given back in front of a full receive: the buffer grows
    // once; receives still take at most kReceiveBufferSize bytes.
    std::unique_ptr<char[]> bigger(new char[kMaxBufferedBytes]);
    std::memcpy(bigger.get() + bytes.size(), buffer_.get(), unread_);
    buffer_ = std::move(bigger);
    capacity_ = kMaxBufferedBytes;
  } else {
    std::memmove(buffer_.get() + bytes.size(), buffer_.get(), unread_);
  }
  std::memcpy(buffer_.get(), bytes.data(), bytes.size());
  unread_ = needed;
  nothing_pending_ = false;  // these bytes are pending again
  return true;
}

void Connection::EnsureBuffer() {
  if (!buffer_) buffer_ = std::make_unique<char[]>(kReceiveBufferSize);
}

void Connection::Reset(int fd, int timeout_ms) {
  EndTls();
  CloseDescriptor(fd_);
  fd_ = fd;
  timeout_ms_ = timeout_ms;
  unread_ = 0;
  short_read_ = false;
  nothing_pending_ = false;
  failure_ = NetFailure::None;
  system_error_ = 0;
  deadline_ = Clock::time_point::max();
  wait_limit_ = WaitLimit::Idle;
}

Connection::Wait Connection::WaitReadable(Clock::time_point line_deadline) {
  if (TlsPending()) return Wait::Ready;
  int wait_ms = timeout_ms_;
  wait_limit_ = WaitLimit::Idle;
  const auto now = Clock::now();
  for (auto [limit, which] : {std::pair{deadline_, WaitLimit::Deadline}, {line_deadline, WaitLimit::LineDeadline}}) {
    if (limit == Clock::time_point::max()) continue;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(std::max(limit - now, Clock::duration::zero()));
    if (wait_ms < 0 || left.count() <= wait_ms) {
      wait_ms = static_cast<int>(left.count());
      wait_limit_ = which;
    }
  }
  if (wait_ms == 0 && wait_limit_ != WaitLimit::Idle) return Wait::TimedOut;  // passed: ready bytes do not stretch it
  int error = 0;
  switch (WaitFor(fd_, POLLIN, wait_ms, error)) {
    case WaitResult::Ready: return Wait::Ready;
    case WaitResult::TimedOut: return Wait::TimedOut;
    case WaitResult::Failed: break;
  }
  FailSystem(error);
  return Wait::Failed;
}

// Takes the `consumed` first unread bytes out of the buffer.
void Connection::Consume(std::size_t consumed) {
  std::memmove(buffer_.get(), buffer_.get() + consumed, unread_ - consumed);
  unread_ -= consumed;
}

// Receives into the empty buffer: > 0 bytes received, 0 the peer closed,
// -1 failed (pending), -2 nothing there after all (wait again).
long Connection::ReceiveIntoBuffer() {
  EnsureBuffer();
  if (ssl_ != nullptr) return ReceiveTls();
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer_.get(), kReceiveBufferSize, MSG_DONTWAIT);
    if (n >= 0) {
      unread_ = static_cast<std::size_t>(n);
      // Describes the latest receive, so a full one after a short one
      // does not claim that everything has arrived.
      short_read_ = static_cast<std::size_t>(n) < kReceiveBufferSize;
      return static_cast<long>(n);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    FailSystem(errno);
    return -1;
  }
}

// ---------------------------------------------------------------------------
// Opening and closing

std::uint32_t ResolveHost(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostNameLength || host.find('\0') != std::string_view::npos)
    return 0;
  const std::string name(host);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  std::uint32_t address = 0;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  ::freeaddrinfo(found);
  return address;
}

bool OpenListener(std::uint32_t address, std::uint16_t port, int timeout_ms, Connection& out) {
  CloseConnection(out);
  out.timeout_ms_ = timeout_ms;
  out.failure_ = NetFailure::None;
  out.system_error_ = 0;
  if (address == 0) return out.Fail(NetFailure::IoError);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return out.FailSystem(errno);
  const int on = 1;
  // Lets a restarted gateway bind again while old connections linger in TIME_WAIT.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = address;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
      ::listen(fd, kListenBacklog) != 0) {
    const int error = errno;
    CloseDescriptor(fd);
    return out.FailSystem(error);
  }
  out.Reset(fd, timeout_ms);
  return true;
}

bool AcceptConnection(Connection& listener, Connection& out) {
  if (!listener.IsOpen()) return listener.Fail(NetFailure::NotOpen);
  for (;;) {
    int error = 0;
    if (WaitFor(listener.fd_, POLLIN, -1, error) == WaitResult::Failed)
      return listener.FailSystem(error);
    const int fd = ::accept4(listener.fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      out.Reset(fd, listener.timeout_ms_);
      out.EnsureBuffer();
      return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || IsTransientAcceptError(errno)) continue;
    return listener.FailSystem(errno);
  }
}

bool OpenConnection(std::string_view host, int port, int timeout_ms, Connection& out) {
  CloseConnection(out);
  out.timeout_ms_ = timeout_ms;
  out.failure_ = NetFailure::None;
  out.system_error_ = 0;
  const std::uint32_t address = ResolveHost(host);
  if (address == 0 || port <= 0 || port > 65535) return out.Fail(NetFailure::IoError);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return out.FailSystem(errno);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<std::uint16_t>(port));
  remote.sin_addr.s_addr = address;
  int error = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) != 0)
    error = errno == EINTR ? FinishInterruptedConnect(fd) : errno;
  if (error != 0) {
    CloseDescriptor(fd);
    return out.FailSystem(error);
  }
  out.Reset(fd, timeout_ms);
  out.EnsureBuffer();
  return true;
}

void CloseConnection(Connection& c) {
  c.EndTls();
  CloseDescriptor(c.fd_);
  c.fd_ = -1;
  c.unread_ = 0;
  c.short_read_ = false;
  c.nothing_pending_ = false;
}

// ---------------------------------------------------------------------------
// Reading and sending

// How a line is cut: ReadLine drops every CR and hands out a line of
// kMaxLineBytes received bytes as it is; a command line keeps inner CRs
// (they are the client's, to be judged) and drops what exceeds its cap.
struct LineCut {
  std::size_t max_bytes;  // received bytes (split) or kept bytes (drop)
  bool drop_rest;         // past max_bytes: drop up to LF instead of splitting
  bool keep_cr;           // keep CRs, but the one right before LF
  bool whole_line_deadline;  // complete within the time-out from the first byte
};

bool ReadLineCut(Connection& c, std::string& line, const LineCut& cut) {
  line.clear();
  if (!c.IsOpen()) return c.Fail(NetFailure::NotOpen);
  c.nothing_pending_ = false;
  std::size_t taken = 0;  // received bytes that went into this line, CR included
  auto line_deadline = Connection::Clock::time_point::max();  // set at the first byte
  for (;;) {
    std::size_t i = 0;
    bool ended = false;
    while (i < c.unread_ && (cut.drop_rest || taken < cut.max_bytes)) {
      const char ch = c.buffer_[i++];
      ++taken;
      if (ch == '\n') {
        ended = true;
        break;
      }
      if ((ch != '\r' || cut.keep_cr) && (!cut.drop_rest || line.size() <= cut.max_bytes)) line.push_back(ch);
    }
    if (i > 0) c.Consume(i);
    if (ended) {
      if (cut.keep_cr && !line.empty() && line.back() == '\r') line.pop_back();
      if (c.unread_ == 0 && c.short_read_) c.nothing_pending_ = true;
      return true;
    }
    if (!cut.drop_rest && taken >= cut.max_bytes) return true;  // the rest stays for the next line
    if (cut.whole_line_deadline && taken > 0 && line_deadline == Connection::Clock::time_point::max())
      line_deadline = Connection::Clock::now() + std::chrono::milliseconds(c.timeout_ms_);
    long received = -2;
    while (received == -2) {
      switch (c.WaitReadable(line_deadline)) {
        case Connection::Wait::Ready: break;
        case Connection::Wait::Failed: return false;
        case Connection::Wait::TimedOut:
          if (taken == 0 || c.wait_limit_ != WaitLimit::Idle) return c.Fail(NetFailure::Timeout);
          c.short_read_ = true;
          c.nothing_pending_ = true;
          return true;
      }
      received = c.ReceiveIntoBuffer();
    }
    if (received < 0) return false;
    if (received == 0) {
      c.nothing_pending_ = true;
      return true;
    }
  }
}

bool ReadLine(Connection& c, std::string& line) {
  return ReadLineCut(c, line, LineCut{kMaxLineBytes, false, false, false});
}

bool ReadCommandLine(Connection& c, std::size_t max_bytes, std::string& line) {
  return ReadLineCut(c, line, LineCut{max_bytes, true, true, true});
}

bool PeerClosed(const Connection& c) {
  if (!c.IsOpen()) return true;
  if (c.unread_ > 0) return false;
  if (c.ssl_ != nullptr) return c.TlsPeerClosed();
  pollfd watch{c.fd_, POLLIN, 0};
  if (poll(&watch, 1, 0) <= 0) return false;
  char byte = 0;
  const ssize_t got = recv(c.fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool ReadAvailable(Connection& c, std::size_t max_bytes, std::string& out) {
  out.clear();
  if (!c.IsOpen()) return c.Fail(NetFailure::NotOpen);
  c.nothing_pending_ = false;
  c.short_read_ = false;
  bool received_here = false;  // a receive took place during this call
  for (;;) {
    const std::size_t take = std::min(c.unread_, max_bytes - out.size());
    if (take > 0) {
      out.append(c.buffer_.get(), take);
      c.Consume(take);
    }
    if (c.unread_ > 0) return true;
    if (received_here && c.short_read_) {
      c.nothing_pending_ = true;
      return true;
    }
    if (out.size() >= max_bytes) return true;
    // Bytes that were already buffered are handed out at once when nothing
    // else has come; waiting the whole time-out for more would stall a peer
    // that sent everything and now waits for an answer.
    const bool only_buffered = !out.empty() && !received_here;
    long received = -2;
    while (received == -2) {
      const Connection::Wait wait = only_buffered ? c.PeekReadable() : c.WaitReadable();
      if (wait == Connection::Wait::Failed) return false;
      if (wait == Connection::Wait::TimedOut) {
        if (out.empty()) return c.Fail(NetFailure::Timeout);
        c.short_read_ = true;
        c.nothing_pending_ = true;
        return true;
      }
      received = c.ReceiveIntoBuffer();
    }
    if (received < 0) return false;
    received_here = true;
    if (received == 0) {
      c.nothing_pending_ = true;
      return true;
    }
  }
}

Connection::Wait Connection::PeekReadable() {
  if (TlsPending()) return Wait::Ready;
  int error = 0;
  switch (WaitFor(fd_, POLLIN, 0, error)) {
    case WaitResult::Ready: return Wait::Ready;
    case WaitResult::TimedOut: return Wait::TimedOut;
    case WaitResult::Failed: break;
  }
  FailSystem(error);
  return Wait::Failed;
}

bool SendText(Connection& c, std::string_view text) {
  if (!c.IsOpen()) return c.Fail(NetFailure::NotOpen);
  std::size_t sent = 0;
  do {
    int error = 0;
    switch (WaitFor(c.fd_, POLLOUT, c.timeout_ms_, error)) {
      case WaitResult::Ready: break;
      case WaitResult::TimedOut: return c.Fail(NetFailure::Timeout);
      case WaitResult::Failed: return c.FailSystem(error);
    }
    if (sent == text.size()) break;
    if (c.ssl_ != nullptr) {
      if (!c.SendTls(text.substr(sent), sent)) return false;
      continue;
    }
    // Never blocks past the wait above, and a closed peer is an error
    // value, not a SIGPIPE.
    const ssize_t n = ::send(c.fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return c.FailSystem(errno);
    }
  } while (sent < text.size());
  c.nothing_pending_ = false;
  return true;
}

bool NothingPending(const Connection& c) { return c.nothing_pending_; }

std::uint16_t LocalPort(const Connection& c) {
  sockaddr_in local{};
  socklen_t len = sizeof(local);
  if (!c.IsOpen() || ::getsockname(c.Socket(), reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

}  // namespace brenvik
