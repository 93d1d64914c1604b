// Connections and the SMTP reply reader over real loopback sockets.
#include "gateway/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "gateway/smtp_reply.h"
#include "session_harness.h"

namespace brenvik {
namespace {

using Lines = std::vector<std::string>;
constexpr int kShortTimeoutMs = 200;

// A connected pair over loopback: `client` from OpenConnection, `server`
// from AcceptConnection.
struct LoopbackPair {
  Connection listener, client, server;

  explicit LoopbackPair(int timeout_ms = kShortTimeoutMs) {
    EXPECT_TRUE(OpenListener(ResolveHost("127.0.0.1"), 0, timeout_ms, listener));
    EXPECT_TRUE(OpenConnection("127.0.0.1", LocalPort(listener), timeout_ms, client));
    EXPECT_TRUE(AcceptConnection(listener, server));
  }
};

// The lines ReadLine gives until nothing is pending (bounded).
Lines ReadLines(Connection& c) {
  Lines lines;
  std::string line;
  for (int i = 0; i < 100 && ReadLine(c, line); ++i) {
    lines.push_back(line);
    if (NothingPending(c)) break;
  }
  return lines;
}

// True once everything sent on `from` has been taken out of `to`'s socket,
// so the next send arrives as a receive of its own.
bool WaitUntilReceived(int from, int to) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    int unacked = -1, unread = -1;
    if (::ioctl(from, SIOCOUTQ, &unacked) == 0 && ::ioctl(to, SIOCINQ, &unread) == 0 && unacked == 0 &&
        unread == 0)
      return true;
    std::this_thread::yield();
  }
  return false;
}

TEST(ConnectionReadLine, LinesOfOnePieceWithCarriageReturnsDropped) {
  LoopbackPair p;
  EXPECT_FALSE(NothingPending(p.server));
  ASSERT_TRUE(SendText(p.client, "HELO a\r\nMAIL FROM:<x@y>\r\na\rb\r\n\nab\rcd\r\n\r\r\n"));
  // Only LF ends a line; every CR is dropped, also one in the middle.
  EXPECT_EQ(ReadLines(p.server), (Lines{"HELO a", "MAIL FROM:<x@y>", "ab", "", "abcd", ""}));
  EXPECT_TRUE(NothingPending(p.server));
  EXPECT_EQ(p.server.FailureText(), "No Error");
  ASSERT_TRUE(SendText(p.server, "221 Bye\r\n"));  // a send waits for news again
  EXPECT_FALSE(NothingPending(p.server));
}

TEST(ConnectionReadLine, TimeOutsLeaveTheConnectionUsable) {
  LoopbackPair p;
  // A partial line followed by silence is handed out when the wait runs out.
  ASSERT_TRUE(SendText(p.client, "QUI\r"));
  std::string line, out = "stale";
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "QUI");
  EXPECT_TRUE(NothingPending(p.server));
  EXPECT_EQ(p.server.Failure(), NetFailure::None);
  // Silence alone is a time-out.
  EXPECT_FALSE(ReadLine(p.server, line));
  EXPECT_EQ(line, "");
  EXPECT_EQ(p.server.FailureText(), "Device timeout");
  EXPECT_FALSE(ReadAvailable(p.server, 100, out));
  EXPECT_EQ(out, "");
  // A peer that never reads makes a send time out instead of blocking.
  EXPECT_FALSE(SendText(p.client, std::string(32 * 1024 * 1024, 'f')));
  EXPECT_EQ(p.client.FailureText(), "Device timeout");
}

TEST(ConnectionReadLine, PeerThatClosesIsNoReadFailureButSendsFail) {
  LoopbackPair p;
  CloseConnection(p.client);
  std::string line = "stale", out = "stale";
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "");
  ASSERT_TRUE(ReadAvailable(p.server, 100, out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(NothingPending(p.server));
  EXPECT_EQ(p.server.Failure(), NetFailure::None);
  // The first send may still be taken; the peer's reset makes a later one
  // fail, without a SIGPIPE ending the process.
  bool failed = false;
  for (int i = 0; i < 1000 && !failed; ++i) failed = !SendText(p.server, "NOOP\r\n");
  ASSERT_TRUE(failed);
  EXPECT_EQ(p.server.FailureText(), "Device I/O error");
}

TEST(ConnectionThreaded, LongLinesAreCutAfter65536ReceivedBytes) {
  LoopbackPair p(5000);
  // CR bytes count against the limit although they are dropped.
  std::thread peer([&] { SendText(p.client, std::string(70000, 'x') + "\n" + std::string(65535, 'y') + "\rz\n"); });
  std::string line;
  for (const std::string& expected : {std::string(65536, 'x'), std::string(70000 - 65536, 'x'),
                                      std::string(65535, 'y'), std::string("z")}) {
    ASSERT_TRUE(ReadLine(p.server, line));
    EXPECT_EQ(line, expected);
  }
  peer.join();
}

TEST(ConnectionReadAvailable, HandsOutBufferedBytesFirstAndUnchanged) {
  LoopbackPair p(20000);
  ASSERT_TRUE(SendText(p.client, "DATA\r\nbody\r\n.\r\nQUIT\r\n"));
  std::string line, out;
  ASSERT_TRUE(ReadLine(p.server, line));
  ASSERT_TRUE(ReadAvailable(p.server, 4, out));
  EXPECT_EQ(out, "body");
  EXPECT_FALSE(NothingPending(p.server));
  // What is buffered comes at once, not after the 20 s time-out.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ReadAvailable(p.server, 100, out));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(out, "\r\n.\r\nQUIT\r\n");  // CR stays in raw reads
  EXPECT_TRUE(NothingPending(p.server));
  // Bytes given back come before anything unread and count as pending.
  ASSERT_TRUE(p.server.Unread("QUIT\r\n"));
  ASSERT_TRUE(p.server.Unread("RS"));
  EXPECT_FALSE(NothingPending(p.server));
  EXPECT_EQ(ReadLines(p.server), Lines{"RSQUIT"});
  ASSERT_TRUE(p.server.Unread("abc"));
  EXPECT_FALSE(p.server.Unread(std::string(kMaxBufferedBytes - 2, 'x')));  // does not fit
  EXPECT_TRUE(p.server.Unread(std::string(kMaxBufferedBytes - 3, 'x')));
  EXPECT_EQ(p.server.UnreadCount(), kMaxBufferedBytes);
}

TEST(ConnectionOpen, FailedOpensLeaveAClosedConnectionAndHostsResolve) {
  Connection c;
  for (auto [host, port] : {std::pair{"127.0.0.1", session_test::UnusedPort()}, {"", 25}, {"127.0.0.1", 70000}}) {
    EXPECT_FALSE(OpenConnection(host, port, kShortTimeoutMs, c)) << host << ":" << port;
    EXPECT_EQ(c.FailureText(), "Device I/O error");
    EXPECT_FALSE(c.IsOpen());
  }
  std::string line;
  using Use = std::function<bool()>;
  for (const Use& use : {Use([&] { return ReadLine(c, line); }), Use([&] { return SendText(c, "x"); }),
                         Use([&] { return c.Unread("x"); })}) {
    c.ClearFailure();
    EXPECT_FALSE(use());
    EXPECT_EQ(c.FailureText(), "Bad file name or number");
  }
  EXPECT_EQ(ResolveHost("127.0.0.2"), htonl(0x7f000002));
  EXPECT_EQ(ResolveHost("localhost"), htonl(0x7f000001));
  EXPECT_EQ(ResolveHost(std::string("127.0.0.1\0evil", 14)), 0u);
}

TEST(ConnectionOpen, ListenerBindsOnlyItsAddressAndCanBeReopenedAtOnce) {
  Connection listener;
  ASSERT_TRUE(OpenListener(ResolveHost("127.0.0.2"), 0, kShortTimeoutMs, listener));
  const std::uint16_t port = LocalPort(listener);
  Connection other;
  EXPECT_FALSE(OpenConnection("127.0.0.1", port, kShortTimeoutMs, other));  // not bound there
  // A connection that the gateway closed first lingers; a restart still binds.
  Connection client, server;
  ASSERT_TRUE(OpenConnection("127.0.0.2", port, kShortTimeoutMs, client));
  ASSERT_TRUE(AcceptConnection(listener, server));
  EXPECT_EQ(server.TimeoutMs(), kShortTimeoutMs);
  for (const Connection* c : {&listener, &client, &server})
    EXPECT_TRUE(::fcntl(c->Socket(), F_GETFD) & FD_CLOEXEC);  // no leak into child processes
  CloseConnection(server);
  std::string line;
  ASSERT_TRUE(ReadLine(client, line));
  CloseConnection(client);
  CloseConnection(listener);
  EXPECT_TRUE(OpenListener(ResolveHost("127.0.0.2"), port, kShortTimeoutMs, listener));
}

// A loopback pair whose server side went over to TLS, with OpenSSL as the
// client on the other end.
struct TlsPair {
  LoopbackPair plain{session_test::kPeerTimeoutMs};
  SSL_CTX* client_ctx = SSL_CTX_new(TLS_client_method());
  SSL* client = SSL_new(client_ctx);

  bool Start(const TlsServerContext& context) {
    std::string failure;
    bool started = false;
    std::thread server([&] { started = StartTlsServer(plain.server, context, failure); });
    SSL_set_fd(client, plain.client.Socket());
    const bool connected = SSL_connect(client) == 1;
    server.join();
    return connected && started;
  }
  bool Write(std::string_view bytes) {
    std::size_t n = 0;
    return SSL_write_ex(client, bytes.data(), bytes.size(), &n) == 1 && n == bytes.size();
  }
  // Everything written has reached the server's socket.
  bool AllAcknowledged() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int unacked = -1;
    while (::ioctl(plain.client.Socket(), SIOCOUTQ, &unacked) == 0 && unacked != 0 &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    return unacked == 0;
  }
  ~TlsPair() {
    SSL_free(client);
    SSL_CTX_free(client_ctx);
  }
};

TEST(ConnectionTls, RecordsThatHaveArrivedCountAsPending) {
  session_test::TempDir folder;
  const auto context = session_test::TestTlsContext(folder);
  ASSERT_TRUE(context);
  struct Case {
    std::vector<std::string> records;  // one SSL_write each, all sent before the first read
    Lines lines;                       // as ReadLines gives them
  };
  const std::vector<Case> cases = {
      {{"QUIT\r\n"}, {"QUIT"}},
      {{"A\r\nB\r\n"}, {"A", "B"}},
      {{"A\r\n", "B\r\n", "C\r\n"}, {"A", "B", "C"}},
      {{"NO", "OP\r\n"}, {"NOOP"}},
  };
  for (const Case& c : cases) {
    TlsPair pair;
    ASSERT_TRUE(pair.Start(*context));
    EXPECT_TRUE(TlsSummary(pair.plain.server).starts_with("TLSv1.3 "));
    for (const std::string& record : c.records) ASSERT_TRUE(pair.Write(record));
    ASSERT_TRUE(pair.AllAcknowledged());
    EXPECT_EQ(ReadLines(pair.plain.server), c.lines) << c.records.front();
    EXPECT_TRUE(NothingPending(pair.plain.server));
    EXPECT_FALSE(PeerClosed(pair.plain.server));
    EXPECT_TRUE(SendText(pair.plain.server, "250 ok\r\n"));
    char reply[16] = {};
    std::size_t n = 0;
    EXPECT_TRUE(SSL_read_ex(pair.client, reply, sizeof reply, &n) == 1 && std::string(reply, n) == "250 ok\r\n");
    SSL_shutdown(pair.client);  // close_notify: a closed peer, no failure
    std::string line = "x";
    EXPECT_TRUE(ReadLine(pair.plain.server, line));
    EXPECT_EQ(line, "");
    EXPECT_TRUE(NothingPending(pair.plain.server) && PeerClosed(pair.plain.server));
    // Sends to a closed peer fail, without a SIGPIPE ending the process.
    CloseConnection(pair.plain.client);
    bool sent = true;
    for (int i = 0; i < 20 && sent; ++i) sent = SendText(pair.plain.server, "250 ok\r\n");
    EXPECT_FALSE(sent);
  }
}

TEST(SmtpReply, FourthCharacterDecidesTheFinalLine) {
  for (const char* line : {"250 OK", "250", "", "2500", "25-x"}) EXPECT_TRUE(IsFinalReplyLine(line)) << line;
  for (const char* line : {"250-PIPELINING", "250-"}) EXPECT_FALSE(IsFinalReplyLine(line)) << line;
}

TEST(SmtpReply, ReadStopsAtTheFinalLineAndIsBounded) {
  LoopbackPair p;
  std::string text = "250-mx.example\r\n250-SIZE 1000\r\n250 HELP\r\n";
  for (int i = 0; i < 300; ++i) text += "250-line " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(SendText(p.server, text + "250 last\r\n221 next\r\n"));
  SmtpReply reply;
  ASSERT_TRUE(ReadSmtpReply(p.client, reply));
  EXPECT_EQ(reply.lines, (Lines{"250-mx.example", "250-SIZE 1000", "250 HELP"}));
  // A runaway reply keeps its first lines and its final line.
  ASSERT_TRUE(ReadSmtpReply(p.client, reply));
  ASSERT_EQ(reply.lines.size(), kMaxReplyLines);
  EXPECT_EQ(reply.lines[kMaxReplyLines - 2], "250-line " + std::to_string(kMaxReplyLines - 2));
  EXPECT_EQ(reply.FinalLine(), "250 last");
  ASSERT_TRUE(ReadSmtpReply(p.client, reply));
  EXPECT_EQ(reply.lines, Lines{"221 next"});
}

TEST(SmtpReply, BrokenRepliesAreNeverTakenAsComplete) {
  LoopbackPair p;
  ASSERT_TRUE(SendText(p.server, "220-welcome\r\n"));
  SmtpReply reply;
  EXPECT_FALSE(ReadSmtpReply(p.client, reply));  // silence mid reply
  EXPECT_EQ(p.client.FailureText(), "Device timeout");
  p.client.ClearFailure();
  ASSERT_TRUE(SendText(p.server, "250-SIZ"));
  CloseConnection(p.server);
  ASSERT_TRUE(ReadSmtpReply(p.client, reply));  // the close ends it with a line without code
  EXPECT_EQ(reply.lines, (Lines{"250-SIZ", ""}));
  EXPECT_EQ(p.client.Failure(), NetFailure::None);
}

TEST(SmtpReplyThreaded, ReplySplitAtAnyByteIsReadWhole) {
  const std::string text = "250-mx.example\r\n250-8BITMIME\r\n250 SIZE 1000\r\n";
  for (std::size_t cut = 1; cut < text.size(); ++cut) {
    LoopbackPair p(5000);
    bool separate = false;
    std::thread backend([&] {
      SendText(p.server, text.substr(0, cut));
      separate = WaitUntilReceived(p.server.Socket(), p.client.Socket());
      SendText(p.server, text.substr(cut));
    });
    SmtpReply reply;
    const bool ok = ReadSmtpReply(p.client, reply);
    backend.join();
    ASSERT_TRUE(ok) << "cut " << cut << ": " << p.client.FailureText();
    EXPECT_TRUE(separate) << "cut " << cut;
    EXPECT_EQ(reply.lines, (Lines{"250-mx.example", "250-8BITMIME", "250 SIZE 1000"})) << "cut " << cut;
  }
}

}  // namespace
}  // namespace brenvik
