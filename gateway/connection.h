#pragma once
// Line-oriented TCP connections over POSIX sockets (IPv4 only). Every wait
// is a poll bounded by the connection's time-out. Failures are values: an
// operation returns false and leaves its description pending on the
// connection, where the caller reads it with FailureText. An accepted
// connection can go over to TLS (StartTlsServer); the same operations then
// carry the decrypted bytes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct ssl_st;      // OpenSSL's SSL and SSL_CTX, kept out of this header
struct ssl_ctx_st;

namespace brenvik {

enum class NetFailure {
  None,              // "No Error"
  Timeout,           // "Device timeout"
  IoError,           // "Device I/O error"
  InProgress,        // "Permission denied"
  NotOpen,           // "Bad file name or number"
};

std::string_view DescribeFailure(NetFailure failure);

inline constexpr std::size_t kReceiveBufferSize = 65536;
// Most unread bytes a connection holds: one receive plus bytes given back.
inline constexpr std::size_t kMaxBufferedBytes = 2 * kReceiveBufferSize;

// What ended the latest wait that ran out ("Device timeout").
enum class WaitLimit {
  Idle,          // the connection's time-out: nothing arrived for that long
  LineDeadline,  // a command line was not complete within the time-out of its first byte
  Deadline,      // the deadline set with SetDeadline
};

struct LineCut;  // how a line read is cut (connection.cpp)
class TlsServerContext;

// One socket with its time-out, receive buffer and flags. Movable, owned by
// one thread at a time.
class Connection {
 public:
  Connection() = default;
  ~Connection();  // closes the socket
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  bool TlsActive() const { return ssl_ != nullptr; }
  int Socket() const { return fd_; }
  int TimeoutMs() const { return timeout_ms_; }
  void SetTimeoutMs(int ms) { timeout_ms_ = ms; }
  // The latest failure; a later success does not clear it, opening does.
  NetFailure Failure() const { return failure_; }
  std::string_view FailureText() const { return DescribeFailure(failure_); }
  void ClearFailure() {
    failure_ = NetFailure::None;
    system_error_ = 0;
  }
  // errno of the latest failure that the system reported, 0 when none did
  // (for the system's own words in the log; FailureText stays as it is).
  int SystemError() const { return system_error_; }

  using Clock = std::chrono::steady_clock;
  // Reads wait at most until `deadline` as well (max(): none); a read that
  // runs into it fails with "Device timeout" and WaitLimit::Deadline even
  // when bytes keep trickling in.
  void SetDeadline(Clock::time_point deadline) { deadline_ = deadline; }
  WaitLimit LastWaitLimit() const { return wait_limit_; }

  // Puts bytes back in front of the unread bytes (the relay returns what
  // followed the end-of-data mark); they count as pending again. Fails when
  // the connection is closed ("Bad file name or number") or when they do not
  // fit kMaxBufferedBytes (no failure is left: that is the caller's mistake).
  bool Unread(std::string_view bytes);
  // Count of received bytes not yet handed out.
  std::size_t UnreadCount() const { return unread_; }

 private:
  friend bool OpenListener(std::uint32_t, std::uint16_t, int, Connection&);
  friend bool AcceptConnection(Connection&, Connection&);
  friend bool OpenConnection(std::string_view, int, int, Connection&);
  friend bool ReadLineCut(Connection&, std::string&, const LineCut&);
  friend bool PeerClosed(const Connection&);
  friend bool ReadAvailable(Connection&, std::size_t, std::string&);
  friend bool SendText(Connection&, std::string_view);
  friend bool NothingPending(const Connection&);
  friend void CloseConnection(Connection&);
  friend bool StartTlsServer(Connection&, const TlsServerContext&, std::string&);
  friend std::string TlsSummary(const Connection&);
  friend struct ConnectionAccess;

  enum class Wait { Ready, TimedOut, Failed };

  bool Fail(NetFailure failure);
  bool FailSystem(int error);  // Fail with the failure of `error`, kept
  // Poll with the time-out, cut to the deadline and to `line_deadline`;
  // sets the failure on Failed and wait_limit_ to what bounded the wait.
  Wait WaitReadable(Clock::time_point line_deadline = Clock::time_point::max());
  Wait PeekReadable();  // the same without waiting
  long ReceiveIntoBuffer();
  void Consume(std::size_t count);
  void EnsureBuffer();
  void Reset(int fd, int timeout_ms);  // takes a new socket with fresh flags
  bool TlsPending() const;             // decrypted bytes waiting inside OpenSSL
  long ReceiveTls();                   // ReceiveIntoBuffer over TLS
  // One SSL_write of what is left: false when it failed (pending) or its
  // wait ran out; `sent` advances by what was taken.
  bool SendTls(std::string_view rest, std::size_t& sent);
  bool TlsPeerClosed() const;          // PeerClosed over TLS
  void EndTls();                       // close_notify when still sound, then frees

  int fd_ = -1;                        // socket, -1 when closed
  int timeout_ms_ = 0;                 // per wait, fixed at open/accept
  std::unique_ptr<char[]> buffer_;     // capacity_ bytes, allocated once (grown once by Unread)
  std::size_t capacity_ = kReceiveBufferSize;  // bytes buffer_ holds
  std::size_t unread_ = 0;             // unread bytes at the buffer's front
  bool short_read_ = false;            // latest receive < kReceiveBufferSize, or a wait ran out
  bool nothing_pending_ = false;       // see NothingPending
  NetFailure failure_ = NetFailure::None;  // last failure, until cleared
  int system_error_ = 0;               // errno behind the last system failure
  ssl_st* ssl_ = nullptr;              // owned; set once TLS is up
  Clock::time_point deadline_ = Clock::time_point::max();  // for every read; max(): none
  WaitLimit wait_limit_ = WaitLimit::Idle;  // what bounded the latest read wait
};

// First IPv4 address of a host name or dotted address (network byte order),
// 0 when there is none.
std::uint32_t ResolveHost(std::string_view host);

// Binds to that address and port (address 0 fails with "Device I/O error")
// and listens with the system's largest backlog.
bool OpenListener(std::uint32_t address, std::uint16_t port, int timeout_ms, Connection& out);
// Waits without limit for the next client; the new connection takes the
// listener's time-out and sends without Nagle's delay (every send is a whole
// reply, and a reply must not wait for the client's delayed acknowledgement
// of the one before, as after the TLS handshake). A failure is left pending
// on the listener.
bool AcceptConnection(Connection& listener, Connection& out);
// Resolves the host and connects. On failure `out` is closed and holds the
// failure.
bool OpenConnection(std::string_view host, int port, int timeout_ms, Connection& out);

// Next line without CR bytes and without its LF. A peer that closes yields
// what was collected (maybe "") without failure.
bool ReadLine(Connection& c, std::string& line);
// A client's command line: up to LF, without the CR right before it; other
// CRs stay, and the bytes past max_bytes + 1 are dropped up to the LF, so an
// over-long line stays one (refusable) line. Close as ReadLine; the line
// must be complete within the time-out from its first byte, or the read
// fails with "Device timeout" (WaitLimit::LineDeadline), however the bytes
// trickle in.
bool ReadCommandLine(Connection& c, std::size_t max_bytes, std::string& line);
// True when the peer has closed its side and nothing of it is left unread.
bool PeerClosed(const Connection& c);
// What has arrived, up to max_bytes; waits for at least one arrival, except
// that bytes already buffered are handed out without waiting when nothing
// more has come.
bool ReadAvailable(Connection& c, std::size_t max_bytes, std::string& out);
// Sends all bytes unchanged; clears the nothing-pending flag on success.
bool SendText(Connection& c, std::string_view text);
bool NothingPending(const Connection& c);
// Closing a closed connection does nothing. A pending failure stays.
void CloseConnection(Connection& c);
// Local port of an open socket (a listener bound to port 0 learns its
// port this way), 0 when closed.
std::uint16_t LocalPort(const Connection& c);

}  // namespace brenvik

namespace brenvik {

// One certificate chain and its key with the gateway's TLS policy (TLS 1.2
// and 1.3, strong ciphers in the server's order, no compression, no client
// renegotiation). Loaded once at start; sessions share it read-only.
class TlsServerContext {
 public:
  ~TlsServerContext();
  TlsServerContext(const TlsServerContext&) = delete;
  TlsServerContext& operator=(const TlsServerContext&) = delete;

 private:
  friend std::shared_ptr<const TlsServerContext> LoadTlsServerContext(const std::string&, const std::string&,
                                                                      std::string&);
  friend bool StartTlsServer(Connection&, const TlsServerContext&, std::string&);
  TlsServerContext() = default;
  ssl_ctx_st* ctx_ = nullptr;
};

// Null, with `error` naming the file and the reason, when the chain or the
// key cannot be read or they do not belong together.
std::shared_ptr<const TlsServerContext> LoadTlsServerContext(const std::string& certificate_file,
                                                             const std::string& key_file, std::string& error);

// The server's TLS handshake on an accepted plain connection. Bytes the
// peer sent before it are dropped unread: they came in clear text. Every
// wait is bounded by the connection's time-out. On failure `failure` names
// it (a failure description, or the TLS reason) and the connection stays
// open without TLS for the caller to close.
bool StartTlsServer(Connection& c, const TlsServerContext& context, std::string& failure);
// Protocol and cipher of an active TLS connection ("TLSv1.3 TLS_AES_..."),
// "" without TLS.
std::string TlsSummary(const Connection& c);

}  // namespace brenvik
