#include "gateway/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace brenvik {
namespace {

constexpr int kShortTimeoutMs = 200;

// A connected pair over loopback, both ends in this thread: `client` from
// OpenConnection, `server` from AcceptConnection.
struct LoopbackPair {
  Connection listener, client, server;

  explicit LoopbackPair(int timeout_ms = kShortTimeoutMs) {
    EXPECT_TRUE(OpenListener(ResolveHost("127.0.0.1"), 0, timeout_ms, listener));
    EXPECT_TRUE(OpenConnection("127.0.0.1", LocalPort(listener), timeout_ms, client));
    EXPECT_TRUE(AcceptConnection(listener, server));
  }
};

// A port where nothing listens: bound once, then released.
std::uint16_t UnusedPort() {
  Connection probe;
  EXPECT_TRUE(OpenListener(ResolveHost("127.0.0.1"), 0, kShortTimeoutMs, probe));
  return LocalPort(probe);
}

bool IsCloseOnExec(const Connection& c) { return (::fcntl(c.Socket(), F_GETFD) & FD_CLOEXEC) != 0; }

TEST(ConnectionReadLine, OneLineInOnePieceLeavesNothingPending) {
  LoopbackPair p;
  EXPECT_FALSE(NothingPending(p.server));
  ASSERT_TRUE(SendText(p.client, "QUIT\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "QUIT");
  EXPECT_TRUE(NothingPending(p.server));
  EXPECT_EQ(p.server.FailureText(), "No Error");
  // The next successful send makes the connection wait for news again.
  ASSERT_TRUE(SendText(p.server, "221 Bye\r\n"));
  EXPECT_FALSE(NothingPending(p.server));
}

TEST(ConnectionReadLine, TwoLinesInOnePieceAreReadInTurn) {
  LoopbackPair p;
  ASSERT_TRUE(SendText(p.client, "HELO a\r\nMAIL FROM:<x@y>\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "HELO a");
  EXPECT_FALSE(NothingPending(p.server));
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "MAIL FROM:<x@y>");
  EXPECT_TRUE(NothingPending(p.server));
}

TEST(ConnectionReadLine, CarriageReturnsAreDroppedAndOnlyLineFeedEndsALine) {
  LoopbackPair p;
  ASSERT_TRUE(SendText(p.client, "a\rb\r\n\nab\rcd\r\n\r\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "ab");
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "");  // lone LF
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "abcd");  // the CR in the middle ended nothing
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "");
  EXPECT_TRUE(NothingPending(p.server));
}

TEST(ConnectionReadLine, PartialLineThenSilenceIsReturnedAfterTheTimeout) {
  LoopbackPair p;
  ASSERT_TRUE(SendText(p.client, "QUI\r"));
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "QUI");
  EXPECT_TRUE(NothingPending(p.server));
  EXPECT_EQ(p.server.Failure(), NetFailure::None);
}

TEST(ConnectionReadLine, SilentPeerTimesOutAndTheConnectionStaysOpen) {
  LoopbackPair p;
  std::string line = "stale";
  EXPECT_FALSE(ReadLine(p.server, line));
  EXPECT_EQ(line, "");
  EXPECT_EQ(p.server.FailureText(), "Device timeout");
  EXPECT_TRUE(p.server.IsOpen());
  // The failure stays until cleared; the connection still works.
  ASSERT_TRUE(SendText(p.client, "late\n"));
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "late");
  EXPECT_EQ(p.server.FailureText(), "Device timeout");
  p.server.ClearFailure();
  EXPECT_EQ(p.server.FailureText(), "No Error");
}

TEST(ConnectionReadLine, PeerThatClosesGivesAnEmptyLineWithoutFailure) {
  LoopbackPair p;
  CloseConnection(p.client);
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "");
  EXPECT_TRUE(NothingPending(p.server));
  EXPECT_EQ(p.server.Failure(), NetFailure::None);
}

// Bytes queued in `c`'s socket, not yet received.
int QueuedBytes(const Connection& c) {
  int n = -1;
  return ::ioctl(c.Socket(), FIONREAD, &n) == 0 ? n : -1;
}

TEST(ConnectionReadLine, AFullReceiveAfterAShortOneKeepsTheRestPending) {
  LoopbackPair p;
  ASSERT_TRUE(SendText(p.client, "EHLO a\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  ASSERT_TRUE(NothingPending(p.server));
  // 1024 lines that fill exactly one receive, then one more line.
  std::string lines;
  for (int i = 0; i < 1024; ++i) lines += std::string(63, 'a' + i % 26) + "\n";
  ASSERT_EQ(lines.size(), kReceiveBufferSize);
  ASSERT_TRUE(SendText(p.client, lines + "tail\n"));
  for (int i = 0; i < 100000 && QueuedBytes(p.server) < static_cast<int>(lines.size() + 5); ++i)
    std::this_thread::yield();
  ASSERT_EQ(QueuedBytes(p.server), static_cast<int>(lines.size() + 5));
  for (int i = 0; i < 1024; ++i) {
    ASSERT_TRUE(ReadLine(p.server, line));
    ASSERT_FALSE(NothingPending(p.server)) << "line " << i;
  }
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "tail");
  EXPECT_TRUE(NothingPending(p.server));
}

// Large amounts go through a peer thread so that neither end blocks the other.
TEST(ConnectionThreaded, LongLinesAreCutAfter65536ReceivedBytes) {
  LoopbackPair p(5000);
  const std::string first(70000, 'x');
  // CR bytes count against the limit although they are dropped.
  const std::string second = std::string(65535, 'y') + "\r" + "z\n";
  std::thread peer([&] {
    SendText(p.client, first);
    SendText(p.client, "\n" + second);
  });
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, std::string(65536, 'x'));
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, std::string(70000 - 65536, 'x'));
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, std::string(65535, 'y'));
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "z");
  peer.join();
}

TEST(ConnectionThreaded, LargeSendArrivesByteForByte) {
  LoopbackPair p(5000);
  std::string data(3 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 977);
  bool sent = false;
  std::thread peer([&] {
    sent = SendText(p.client, data);
    CloseConnection(p.client);
  });
  std::string received, piece;
  for (int reads = 0; reads < 100000; ++reads) {
    ASSERT_TRUE(ReadAvailable(p.server, 50000, piece)) << p.server.FailureText();
    if (piece.empty()) break;  // peer closed
    EXPECT_LE(piece.size(), 50000u);
    received += piece;
  }
  peer.join();
  EXPECT_TRUE(sent);
  EXPECT_TRUE(received == data);
}

TEST(ConnectionSend, PeerThatNeverReadsMakesTheSendTimeOut) {
  LoopbackPair p;
  // More than the loopback socket buffers on both sides can hold.
  const std::string flood(32 * 1024 * 1024, 'f');
  EXPECT_FALSE(SendText(p.client, flood));
  EXPECT_EQ(p.client.FailureText(), "Device timeout");
}

TEST(ConnectionSend, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
  LoopbackPair p;
  CloseConnection(p.server);
  std::string line;
  ASSERT_TRUE(ReadLine(p.client, line));  // sees the close
  // The first send may still be taken; the peer's reset makes a later one fail.
  bool failed = false;
  for (int i = 0; i < 1000 && !failed; ++i) failed = !SendText(p.client, "NOOP\r\n");
  ASSERT_TRUE(failed);
  EXPECT_EQ(p.client.FailureText(), "Device I/O error");
}

TEST(ConnectionReadAvailable, ReturnsOneArrivalUpToTheMaximum) {
  LoopbackPair p(20000);
  ASSERT_TRUE(SendText(p.client, "abcdefghij"));
  std::string out;
  ASSERT_TRUE(ReadAvailable(p.server, 4, out));
  EXPECT_EQ(out, "abcd");
  EXPECT_FALSE(NothingPending(p.server));
  EXPECT_EQ(p.server.UnreadCount(), 6u);
  // What was already buffered comes at once, not after the 20 s time-out.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ReadAvailable(p.server, 100, out));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(out, "efghij");
  EXPECT_TRUE(NothingPending(p.server));
}

TEST(ConnectionReadAvailable, BytesLeftByReadLineComeFirst) {
  LoopbackPair p(20000);
  ASSERT_TRUE(SendText(p.client, "DATA\r\n.\r\n"));
  std::string line, out;
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "DATA");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ReadAvailable(p.server, 50000, out));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(out, ".\r\n");  // unchanged: CR stays in raw reads
  EXPECT_TRUE(NothingPending(p.server));
}

TEST(ConnectionReadAvailable, TimeoutAndPeerClose) {
  LoopbackPair p;
  std::string out = "stale";
  EXPECT_FALSE(ReadAvailable(p.server, 100, out));
  EXPECT_EQ(out, "");
  EXPECT_EQ(p.server.FailureText(), "Device timeout");
  p.server.ClearFailure();
  CloseConnection(p.client);
  ASSERT_TRUE(ReadAvailable(p.server, 100, out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(NothingPending(p.server));
  EXPECT_EQ(p.server.Failure(), NetFailure::None);
}

TEST(ConnectionUnread, BytesGoBackInFrontOfWhatIsUnread) {
  LoopbackPair p;
  ASSERT_TRUE(SendText(p.client, "body\r\n.\r\nQUIT\r\n"));
  std::string out, line;
  ASSERT_TRUE(ReadAvailable(p.server, 100, out));
  ASSERT_EQ(out, "body\r\n.\r\nQUIT\r\n");
  EXPECT_TRUE(NothingPending(p.server));
  ASSERT_TRUE(p.server.Unread("QUIT\r\n"));
  EXPECT_FALSE(NothingPending(p.server));
  EXPECT_EQ(p.server.UnreadCount(), 6u);
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "QUIT");
  EXPECT_TRUE(NothingPending(p.server));

  ASSERT_TRUE(SendText(p.client, "ab\r\ncd\r\n"));
  ASSERT_TRUE(ReadLine(p.server, line));
  ASSERT_TRUE(p.server.Unread("xy"));
  ASSERT_TRUE(ReadLine(p.server, line));
  EXPECT_EQ(line, "xycd");
}

TEST(ConnectionUnread, RefusesWhatDoesNotFitOrAClosedConnection) {
  LoopbackPair p;
  ASSERT_TRUE(p.server.Unread("abc"));
  EXPECT_FALSE(p.server.Unread(std::string(kReceiveBufferSize - 2, 'x')));
  EXPECT_EQ(p.server.UnreadCount(), 3u);
  EXPECT_TRUE(p.server.Unread(std::string(kReceiveBufferSize - 3, 'x')));
  EXPECT_EQ(p.server.UnreadCount(), kReceiveBufferSize);
  Connection closed;
  EXPECT_FALSE(closed.Unread("abc"));
  EXPECT_EQ(closed.FailureText(), "Bad file name or number");
}

TEST(ConnectionOpen, RefusedConnectLeavesAClosedConnection) {
  Connection c;
  EXPECT_FALSE(OpenConnection("127.0.0.1", UnusedPort(), kShortTimeoutMs, c));
  EXPECT_EQ(c.FailureText(), "Device I/O error");
  EXPECT_FALSE(c.IsOpen());
  std::string line;
  EXPECT_FALSE(ReadLine(c, line));
  EXPECT_EQ(c.FailureText(), "Bad file name or number");
  c.ClearFailure();
  EXPECT_FALSE(SendText(c, "x"));
  EXPECT_EQ(c.FailureText(), "Bad file name or number");
  CloseConnection(c);  // closing twice is no failure
  EXPECT_EQ(c.FailureText(), "Bad file name or number");
}

TEST(ConnectionOpen, UnresolvableHostAndBadPortFailWithIoError) {
  Connection c;
  EXPECT_FALSE(OpenConnection("", 25, kShortTimeoutMs, c));
  EXPECT_EQ(c.FailureText(), "Device I/O error");
  EXPECT_FALSE(OpenConnection("127.0.0.1", 70000, kShortTimeoutMs, c));
  EXPECT_EQ(c.FailureText(), "Device I/O error");
  Connection listener;
  EXPECT_FALSE(OpenListener(0, 0, kShortTimeoutMs, listener));
  EXPECT_EQ(listener.FailureText(), "Device I/O error");
  std::string line;
  Connection accepted;
  EXPECT_FALSE(AcceptConnection(listener, accepted));
  EXPECT_EQ(listener.FailureText(), "Bad file name or number");
}

TEST(ConnectionOpen, ResolvesDottedAddressesAndHostNames) {
  EXPECT_EQ(ResolveHost("127.0.0.1"), htonl(0x7f000001));
  EXPECT_EQ(ResolveHost("127.0.0.2"), htonl(0x7f000002));
  EXPECT_EQ(ResolveHost("localhost"), htonl(0x7f000001));
  EXPECT_EQ(ResolveHost(""), 0u);
  EXPECT_EQ(ResolveHost(std::string("127.0.0.1\0evil", 14)), 0u);
}

TEST(ConnectionOpen, ListenerBindsOnlyItsAddressAndCanBeReopenedAtOnce) {
  Connection listener;
  ASSERT_TRUE(OpenListener(ResolveHost("127.0.0.2"), 0, kShortTimeoutMs, listener));
  const std::uint16_t port = LocalPort(listener);
  Connection other;
  EXPECT_FALSE(OpenConnection("127.0.0.1", port, kShortTimeoutMs, other));  // not bound there
  Connection second;
  EXPECT_FALSE(OpenListener(ResolveHost("127.0.0.2"), port, kShortTimeoutMs, second));
  EXPECT_EQ(second.FailureText(), "Device I/O error");

  // A connection that the gateway closed first lingers; a restart still binds.
  Connection client, server;
  ASSERT_TRUE(OpenConnection("127.0.0.2", port, kShortTimeoutMs, client));
  ASSERT_TRUE(AcceptConnection(listener, server));
  EXPECT_EQ(server.TimeoutMs(), kShortTimeoutMs);
  CloseConnection(server);
  std::string line;
  ASSERT_TRUE(ReadLine(client, line));
  CloseConnection(client);
  CloseConnection(listener);
  EXPECT_TRUE(OpenListener(ResolveHost("127.0.0.2"), port, kShortTimeoutMs, listener));
}

TEST(ConnectionOpen, EverySocketIsCloseOnExec) {
  LoopbackPair p;
  EXPECT_TRUE(IsCloseOnExec(p.listener));
  EXPECT_TRUE(IsCloseOnExec(p.client));
  EXPECT_TRUE(IsCloseOnExec(p.server));
}

TEST(ConnectionMove, BufferedBytesAndTheSocketMoveAlong) {
  LoopbackPair p;
  ASSERT_TRUE(SendText(p.client, "one\ntwo\n"));
  std::string line;
  ASSERT_TRUE(ReadLine(p.server, line));
  Connection moved(std::move(p.server));
  EXPECT_FALSE(p.server.IsOpen());
  EXPECT_FALSE(ReadLine(p.server, line));
  ASSERT_TRUE(ReadLine(moved, line));
  EXPECT_EQ(line, "two");
  Connection assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.IsOpen());
  ASSERT_TRUE(SendText(assigned, "back\n"));
  ASSERT_TRUE(ReadLine(p.client, line));
  EXPECT_EQ(line, "back");
}

}  // namespace
}  // namespace brenvik
