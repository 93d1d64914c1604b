#include "gateway/smtp_reply.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace brenvik {
namespace {

constexpr int kShortTimeoutMs = 200;

// `gateway` reads replies from `backend`, both ends in this thread.
struct BackendPair {
  Connection listener, gateway, backend;

  explicit BackendPair(int timeout_ms = kShortTimeoutMs) {
    EXPECT_TRUE(OpenListener(ResolveHost("127.0.0.1"), 0, timeout_ms, listener));
    EXPECT_TRUE(OpenConnection("127.0.0.1", LocalPort(listener), timeout_ms, gateway));
    EXPECT_TRUE(AcceptConnection(listener, backend));
  }
};

// True once everything sent on `from` has been taken out of `to`'s socket
// by a receive, so the next send arrives as a receive of its own.
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

TEST(SmtpReplyFinalLine, FourthCharacterDecides) {
  EXPECT_TRUE(IsFinalReplyLine("250 OK"));
  EXPECT_FALSE(IsFinalReplyLine("250-PIPELINING"));
  EXPECT_FALSE(IsFinalReplyLine("250-"));
  EXPECT_TRUE(IsFinalReplyLine("250"));  // too short to continue
  EXPECT_TRUE(IsFinalReplyLine(""));
  EXPECT_TRUE(IsFinalReplyLine("2500"));
  EXPECT_TRUE(IsFinalReplyLine("25-x"));
}

TEST(SmtpReplyRead, MultiLineReplyInOnePieceStopsAtItsFinalLine) {
  BackendPair p;
  ASSERT_TRUE(SendText(p.backend, "250-mx.example\r\n250-SIZE 1000\r\n250 HELP\r\n354 Go on\r\n"));
  SmtpReply reply;
  ASSERT_TRUE(ReadSmtpReply(p.gateway, reply));
  EXPECT_EQ(reply.lines, (std::vector<std::string>{"250-mx.example", "250-SIZE 1000", "250 HELP"}));
  EXPECT_EQ(reply.FinalLine(), "250 HELP");
  ASSERT_TRUE(ReadSmtpReply(p.gateway, reply));  // the next reply is left intact
  EXPECT_EQ(reply.lines, std::vector<std::string>{"354 Go on"});
}

TEST(SmtpReplyThreaded, ReplySplitAtAnyByteIsReadWhole) {
  const std::string text = "250-mx.example\r\n250-8BITMIME\r\n250 SIZE 1000\r\n";
  const std::vector<std::string> expected{"250-mx.example", "250-8BITMIME", "250 SIZE 1000"};
  for (std::size_t cut = 1; cut < text.size(); ++cut) {
    BackendPair p(5000);
    bool separate = false;
    std::thread backend([&] {
      SendText(p.backend, text.substr(0, cut));
      separate = WaitUntilReceived(p.backend.Socket(), p.gateway.Socket());
      SendText(p.backend, text.substr(cut));
    });
    SmtpReply reply;
    const bool ok = ReadSmtpReply(p.gateway, reply);
    backend.join();
    ASSERT_TRUE(ok) << "cut " << cut << ": " << p.gateway.FailureText();
    EXPECT_TRUE(separate) << "cut " << cut;
    EXPECT_EQ(reply.lines, expected) << "cut " << cut;
    EXPECT_TRUE(NothingPending(p.gateway));
  }
}

TEST(SmtpReplyRead, PeerClosingMidReplyEndsItWithAnEmptyLine) {
  BackendPair p;
  ASSERT_TRUE(SendText(p.backend, "250-mx.example\r\n250-SIZ"));
  CloseConnection(p.backend);
  SmtpReply reply;
  ASSERT_TRUE(ReadSmtpReply(p.gateway, reply));
  EXPECT_EQ(reply.lines, (std::vector<std::string>{"250-mx.example", "250-SIZ", ""}));
  EXPECT_EQ(reply.FinalLine(), "");
  EXPECT_EQ(p.gateway.Failure(), NetFailure::None);
}

TEST(SmtpReplyRead, SilenceMidReplyFailsWithTimeout) {
  BackendPair p;
  ASSERT_TRUE(SendText(p.backend, "220-welcome\r\n"));
  SmtpReply reply;
  EXPECT_FALSE(ReadSmtpReply(p.gateway, reply));
  EXPECT_EQ(p.gateway.FailureText(), "Device timeout");
}

TEST(SmtpReplyRead, RunawayReplyIsBoundedAndReadToItsEnd) {
  BackendPair p;
  std::string text;
  for (int i = 0; i < 300; ++i) text += "250-line " + std::to_string(i) + "\r\n";
  text += "250 last\r\n221 next\r\n";
  ASSERT_TRUE(SendText(p.backend, text));
  SmtpReply reply;
  ASSERT_TRUE(ReadSmtpReply(p.gateway, reply));
  ASSERT_EQ(reply.lines.size(), kMaxReplyLines);
  EXPECT_EQ(reply.lines.front(), "250-line 0");
  EXPECT_EQ(reply.lines[kMaxReplyLines - 2], "250-line " + std::to_string(kMaxReplyLines - 2));
  EXPECT_EQ(reply.FinalLine(), "250 last");
  ASSERT_TRUE(ReadSmtpReply(p.gateway, reply));
  EXPECT_EQ(reply.FinalLine(), "221 next");
}

}  // namespace
}  // namespace brenvik
