// TLS under the connection operations: OpenSSL over the connection's socket,
// made non-blocking so that every wait stays a poll bounded by the time-out.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "gateway/connection.h"
#include "gateway/connection_internal.h"

namespace brenvik {

using net_detail::FailureFromErrno;
using net_detail::WaitFor;
using net_detail::WaitResult;

namespace {

// No CBC with SHA-1, no static RSA key exchange, nothing unauthenticated.
constexpr const char* kCipherList = "HIGH:!aNULL:!kRSA:!PSK:!SRP:!SHA1:!CAMELLIA:!ARIA";

constexpr std::string_view kHandshakeFailed = "TLS handshake failed: ";  // + reason
constexpr std::string_view kPeerWentAway = "connection closed by the peer";
constexpr std::string_view kUnknownReason = "unknown reason";
constexpr std::string_view kAlreadyActive = "TLS already active";
constexpr std::string_view kKeyMismatch = "the key does not belong to the certificate ";  // + file
constexpr std::string_view kNoContext = "no TLS context";

// The reason of the oldest queued OpenSSL error; the queue is emptied.
std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return std::string(kUnknownReason);
  const char* reason = ERR_reason_error_string(code);
  if (reason != nullptr) return reason;
  char text[256] = {};
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// OpenSSL writes with plain write(): while one lives, a write to a closed
// peer is a failure value, not a SIGPIPE; one raised meanwhile is taken back.
class NoSigPipe {
 public:
  NoSigPipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~NoSigPipe() {
    if (!blocked_) return;
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
      const timespec zero{};
      sigtimedwait(&pipe_, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  NoSigPipe(const NoSigPipe&) = delete;
  NoSigPipe& operator=(const NoSigPipe&) = delete;

 private:
  sigset_t pipe_{}, old_{};
  bool was_pending_ = false;
  bool blocked_ = false;
};

int SslFd(const ssl_st* ssl) { return SSL_get_fd(ssl); }

// What OpenSSL waits for, as poll events; 0 for a failure.
short WantedEvents(int ssl_error) {
  if (ssl_error == SSL_ERROR_WANT_READ) return POLLIN;
  if (ssl_error == SSL_ERROR_WANT_WRITE) return POLLOUT;
  return 0;
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

bool MakeNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Runs SSL_accept to its end; the whole handshake gets one time-out.
bool Handshake(ssl_st* ssl, int timeout_ms, std::string& failure) {
  const NoSigPipe quiet;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_accept(ssl);
    if (result == 1) return true;
    const int ssl_error = SSL_get_error(ssl, result);
    const short events = WantedEvents(ssl_error);
    if (events == 0) {
      const bool went_away = ssl_error == SSL_ERROR_ZERO_RETURN ||
                             (ssl_error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0);
      failure = std::string(kHandshakeFailed).append(went_away ? std::string(kPeerWentAway) : OpenSslReason());
      return false;
    }
    int error = 0;
    switch (WaitFor(SslFd(ssl), events, MillisecondsLeft(deadline), error)) {
      case WaitResult::Ready: break;
      case WaitResult::TimedOut: failure = DescribeFailure(NetFailure::Timeout); return false;
      case WaitResult::Failed: failure = DescribeFailure(FailureFromErrno(error)); return false;
    }
  }
}

}  // namespace

TlsServerContext::~TlsServerContext() { SSL_CTX_free(ctx_); }

std::shared_ptr<const TlsServerContext> LoadTlsServerContext(const std::string& certificate_file,
                                                             const std::string& key_file, std::string& error) {
  ERR_clear_error();
  std::shared_ptr<TlsServerContext> context(new TlsServerContext);
  SSL_CTX* ctx = context->ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    error = std::string(kNoContext) + ": " + OpenSslReason();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                               SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_dh_auto(ctx, 1);
  if (SSL_CTX_set_cipher_list(ctx, kCipherList) != 1) {
    error = std::string(kNoContext) + ": " + OpenSslReason();
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
    error = certificate_file + ": " + OpenSslReason();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = key_file + ": " + OpenSslReason();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    error = key_file + ": " + std::string(kKeyMismatch) + certificate_file;
    return nullptr;
  }
  return context;
}

bool StartTlsServer(Connection& c, const TlsServerContext& context, std::string& failure) {
  failure.clear();
  if (!c.IsOpen()) {
    c.Fail(NetFailure::NotOpen);
    failure = c.FailureText();
    return false;
  }
  if (c.ssl_ != nullptr) {
    failure = kAlreadyActive;
    return false;
  }
  // Whatever came before the handshake was sent in clear text after the
  // command that asked for TLS: never to be read as the client's.
  c.unread_ = 0;
  c.short_read_ = false;
  c.nothing_pending_ = false;
  ssl_st* ssl = context.ctx_ == nullptr ? nullptr : SSL_new(context.ctx_);
  if (ssl == nullptr || !MakeNonBlocking(c.fd_) || SSL_set_fd(ssl, c.fd_) != 1) {
    failure = std::string(kHandshakeFailed).append(OpenSslReason());
    SSL_free(ssl);
    return false;
  }
  if (!Handshake(ssl, c.timeout_ms_, failure)) {
    SSL_free(ssl);
    ERR_clear_error();
    return false;
  }
  c.ssl_ = ssl;
  return true;
}

std::string TlsSummary(const Connection& c) {
  if (c.ssl_ == nullptr) return {};
  return std::string(SSL_get_version(c.ssl_)) + " " + SSL_get_cipher_name(c.ssl_);
}

bool Connection::TlsPending() const { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

void Connection::EndTls() {
  if (ssl_ == nullptr) return;
  // One attempt at close_notify, never a wait; a broken session gets none.
  if (failure_ == NetFailure::None && (SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN) == 0) {
    const NoSigPipe quiet;
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }
  ERR_clear_error();
  SSL_free(ssl_);
  ssl_ = nullptr;
}

// Like one recv of the plain socket: takes what has arrived, up to the
// buffer's size, so a short receive still means that nothing more is there.
long Connection::ReceiveTls() {
  const NoSigPipe quiet;  // a read may answer the peer (TLS 1.3 key update)
  std::size_t got = 0;
  while (got < kReceiveBufferSize) {
    std::size_t n = 0;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_read_ex(ssl_, buffer_.get() + got, kReceiveBufferSize - got, &n);
    if (result == 1) {
      got += n;
      continue;
    }
    const int ssl_error = SSL_get_error(ssl_, result);
    if (ssl_error == SSL_ERROR_WANT_READ) break;
    if (ssl_error == SSL_ERROR_WANT_WRITE) {
      int error = 0;
      if (WaitFor(fd_, POLLOUT, timeout_ms_, error) == WaitResult::Ready) continue;
      if (got > 0) break;
      Fail(error != 0 ? FailureFromErrno(error) : NetFailure::Timeout);
      return -1;
    }
    if (ssl_error == SSL_ERROR_ZERO_RETURN) {
      if (got == 0) return 0;  // the peer closed; the next read sees it again
      break;
    }
    ERR_clear_error();
    if (got > 0) break;  // the failure repeats on the next read
    Fail(NetFailure::IoError);
    return -1;
  }
  if (got == 0) return -2;
  unread_ = got;
  short_read_ = got < kReceiveBufferSize;
  return static_cast<long>(got);
}

bool Connection::SendTls(std::string_view rest, std::size_t& sent) {
  const NoSigPipe quiet;
  std::size_t n = 0;
  ERR_clear_error();
  const int result = SSL_write_ex(ssl_, rest.data(), rest.size(), &n);
  if (result == 1) {
    sent += n;
    return true;
  }
  const int ssl_error = SSL_get_error(ssl_, result);
  if (ssl_error == SSL_ERROR_WANT_WRITE) return true;  // the caller waits for room
  if (ssl_error == SSL_ERROR_WANT_READ) {
    int error = 0;
    switch (WaitFor(fd_, POLLIN, timeout_ms_, error)) {
      case WaitResult::Ready: return true;
      case WaitResult::TimedOut: return Fail(NetFailure::Timeout);
      case WaitResult::Failed: return Fail(FailureFromErrno(error));
    }
  }
  ERR_clear_error();
  return Fail(NetFailure::IoError);
}

// Looks at what has arrived without taking it: a close_notify or the end
// of the stream means closed; application data or nothing yet means open.
bool Connection::TlsPeerClosed() const {
  if (SSL_pending(ssl_) > 0) return false;
  if ((SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0) return true;
  pollfd watch{fd_, POLLIN, 0};
  if (::poll(&watch, 1, 0) <= 0) return false;
  char byte = 0;
  std::size_t n = 0;
  ERR_clear_error();
  const int result = SSL_peek_ex(ssl_, &byte, 1, &n);
  if (result == 1) return false;
  const int ssl_error = SSL_get_error(ssl_, result);
  ERR_clear_error();
  return ssl_error != SSL_ERROR_WANT_READ && ssl_error != SSL_ERROR_WANT_WRITE;
}

}  // namespace brenvik
