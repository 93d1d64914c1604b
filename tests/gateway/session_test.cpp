// The relay session where only an in-process run can reach: shortened
// time-outs and data reads of a few bytes.
#include "gateway/relay_session.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gateway_state.h"
#include "gateway/smtp_reply.h"
#include "store/ascii_case.h"
#include "session_harness.h"

namespace brenvik {
namespace {

using namespace session_test;
using Lines = std::vector<std::string>;

// Serves one connection in its own thread: "220" greeting, "354" to DATA
// and "250 queued" after the data, "221" to QUIT, "250 OK" to the rest.
class FakeBackend {
 public:
  FakeBackend() {
    OpenListener(ResolveHost("127.0.0.1"), 0, kPeerTimeoutMs, listener_);
    port_ = LocalPort(listener_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeBackend() { Join(); }
  int Port() const { return port_; }
  void Join() {  // the records are final after it
    if (thread_.joinable()) thread_.join();
  }
  Lines commands;    // command lines as received
  std::string data;  // mail data as received, dot line included

 private:
  void Serve() {
    Connection c;
    if (!AcceptOne(listener_, c) || !SendText(c, "220 backend ready\r\n")) return;
    std::string line;
    for (int turn = 0; turn < 1000 && ReadLine(c, line) && !(line.empty() && NothingPending(c)); ++turn) {
      commands.push_back(line);
      const std::string word = AsciiUpper(std::string_view(line).substr(0, 4));
      if (word == "QUIT") {
        SendText(c, "221 bye\r\n");
        return;
      }
      if (word != "DATA" ? !SendText(c, "250 OK\r\n") : !SendText(c, "354 go ahead\r\n") || !ReadData(c)) return;
    }
  }
  // Reads the data as a plain server would: to CR LF "." CR LF, the stream
  // starting as if after a CR LF.
  bool ReadData(Connection& c) {
    std::string block;
    while (("\r\n" + data).find("\r\n.\r\n") == std::string::npos) {
      if (!ReadAvailable(c, kReceiveBufferSize, block) || block.empty()) return false;
      data += block;
    }
    return SendText(c, "250 queued\r\n");
  }
  Connection listener_;
  int port_ = 0;
  std::thread thread_;
};

// One RelaySession behind a listener of its own, relaying to a backend, and
// its client from 127.0.0.1, which is relay-allowed because the receive host
// names it; transcripts go to a folder of its own.
class SessionRun {
 public:
  SessionRun(int backend_port, int logging, const SessionTiming& timing, int client_timeout_ms,
             const TlsServerContext* tls = nullptr) {
    settings_.RecvHost = "127.0.0.1";
    settings_.SendHost = "127.0.0.1";
    settings_.SendPort = backend_port;
    settings_.WorkDir = work_.path();
    settings_.Logging = logging;
    timing_ = timing;
    // The accepted connection takes the listener's time-out.
    OpenListener(ResolveHost("127.0.0.1"), 0, client_timeout_ms, listener_);
    thread_ = std::thread([this, tls] {
      Connection accepted;
      if (AcceptOne(listener_, accepted)) RelaySession(std::move(accepted), settings_, timing_, tls);
    });
    OpenConnection("127.0.0.1", LocalPort(listener_), kPeerTimeoutMs, client);
  }
  ~SessionRun() {
    CloseConnection(client);
    Join();
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::string Reply() {  // the final line of one reply
    SmtpReply reply;
    return ReadSmtpReply(client, reply) ? reply.FinalLine() : "<read failed>";
  }
  // The transcript's contents; "<none>" without the folder.
  std::string Transcript() const {
    const std::filesystem::path folder = work_.path() + "maillog";
    if (!std::filesystem::exists(folder)) return "<none>";
    std::stringstream text;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      text << std::ifstream(entry.path(), std::ios::binary).rdbuf();
    return text.str();
  }
  Connection client;

 private:
  TempDir work_;
  GatewaySettings settings_;
  SessionTiming timing_;
  Connection listener_;
  std::thread thread_;
};

SessionTiming Timing(int backend_timeout_ms = kPeerTimeoutMs, std::size_t data_read_max = 50000) {
  SessionTiming t;
  t.backend_timeout_ms = backend_timeout_ms;
  t.data_pause_ms = 0;
  t.data_read_max = data_read_max;
  return t;
}

TEST(SessionThreaded, SilentBackendTimesOutWithACodedReply) {
  for (int logging : {2, 1}) {  // transcripts only at exactly 1
    Connection backend;  // listens, so the connect succeeds, but never accepts or speaks
    OpenListener(ResolveHost("127.0.0.1"), 0, kPeerTimeoutMs, backend);
    SessionRun s(LocalPort(backend), logging, Timing(100), kPeerTimeoutMs);
    EXPECT_EQ(ReadToEnd(s.client), "421 Error MailserverDevice timeout\r\n");
    s.Join();
    EXPECT_EQ(s.Transcript(),
              logging == 1 ? "Fehler beim ersten Kommando an den Weiterleitungsserver\r\n" : "<none>");
  }
}

TEST(SessionThreaded, ClientThatGoesAwayOrFallsSilentIsAborted) {
  for (bool closes : {true, false}) {
    FakeBackend backend;
    SessionRun s(backend.Port(), 1, Timing(), closes ? kPeerTimeoutMs : 100);
    EXPECT_EQ(s.Reply(), "220 backend ready");
    if (closes) CloseConnection(s.client);
    s.Join();  // a silent client: its connection's own time-out ends the wait
    backend.Join();
    EXPECT_TRUE(backend.commands.empty());  // nothing forwarded, not even QUIT
    EXPECT_EQ(s.Transcript(), closes ? "ABBRUCH Device I/O error\r\n" : "ABBRUCH Device timeout\r\n");
  }
}

TEST(SessionThreaded, EndOfDataIsFoundAtAnyReadSize) {
  struct Case {
    std::size_t read_max;  // bytes per data read of the session
    std::string sent;      // after DATA, then NOOP
    std::string relayed;   // what the backend must receive
  };
  const std::vector<Case> cases = {
      {1, ".\r\n", ".\r\n"},
      {2, "ab\r\n.\r\n", "ab\r\n.\r\n"},
      {3, "x\r\n.x\r\n\r\n.\r\n", "x\r\n.x\r\n\r\n.\r\n"},
      // Bare CR and LF become CR LF; a dot after a bare LF ends nothing.
      {1, "a\r\r\nb\n.\r\n.\r\n", "a\r\n\r\nb\r\n..\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    FakeBackend backend;
    {
      SessionRun s(backend.Port(), 0, Timing(kPeerTimeoutMs, c.read_max), kPeerTimeoutMs);
      s.Reply();
      // Relay-allowed: neither greylisted nor refused.
      SendText(s.client, "MAIL FROM:<new@example.org>\r\nRCPT TO:<a@elsewhere.example>\r\nDATA\r\n");
      EXPECT_EQ(s.Reply(), "250 OK");
      EXPECT_EQ(s.Reply(), "250 OK");
      EXPECT_EQ(s.Reply(), "354 go ahead");
      // The command after the mark, in the same piece, stays a command.
      SendText(s.client, c.sent + "NOOP\r\nQUIT\r\n");
      EXPECT_EQ(s.Reply(), "250 queued") << c.sent;
      EXPECT_EQ(s.Reply(), "250 OK") << c.sent;
      EXPECT_EQ(s.Reply(), "221 bye") << c.sent;
    }
    backend.Join();
    EXPECT_EQ(backend.data, c.relayed) << c.sent;
    EXPECT_EQ(backend.commands.size(), 5u) << c.sent;  // MAIL, RCPT, DATA, NOOP, QUIT
  }
}

// A client that keeps every single wait short is still ended: a command
// line by the time-out from its first byte, mail data by the minimum rate,
// any session by its upper bound.
TEST(SessionThreaded, TricklingClientsAreEndedByTheirDeadlines) {
  struct Case {
    std::string before;     // sent at once after the greeting, replies read
    int replies_before;
    std::string piece;      // then sent every 40 ms, a byte at a time
    int session_limit_ms;
    std::string end;        // the transcript's last line
  };
  const Case cases[] = {
      {"", 0, "NOOP NOOP NOOP ", 7200000, "ABBRUCH Device timeout: command line not complete within the client time-out"},
      {"MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.com>\r\nDATA\r\n", 3, "Subject: slow\r\n", 7200000,
       "ABBRUCH Device timeout: mail data slower than the minimum rate"},
      {"", 0, "N\r\n", 600, "ABBRUCH Device timeout: session longer than its upper bound"},
  };
  for (const Case& c : cases) {
    FakeBackend backend;
    SessionTiming timing = Timing();
    timing.min_data_rate = 1000;  // 1 ms per byte beside the 200 ms start
    timing.session_limit_ms = c.session_limit_ms;
    SessionRun s(backend.Port(), 1, timing, 200);
    EXPECT_EQ(s.Reply(), "220 backend ready");
    SendText(s.client, c.before);
    for (int i = 0; i < c.replies_before; ++i) s.Reply();
    pollfd answer{s.client.Socket(), POLLIN, 0};
    std::string last;
    for (int i = 0; i < 250 && !last.starts_with("421") && poll(&answer, 1, 40) == 0; ++i) {
      SendText(s.client, c.piece.substr(i % c.piece.size(), 1));
      if (c.piece[i % c.piece.size()] == '\n') last = s.Reply();
    }
    if (!last.starts_with("421")) last = s.Reply();
    EXPECT_EQ(last, "421 4.4.2 Timeout, closing connection") << c.end;
    s.Join();
    backend.Join();
    const std::string transcript = s.Transcript();
    EXPECT_TRUE(transcript.ends_with("421 4.4.2 Timeout, closing connection\r\n" + c.end + "\r\n")) << transcript;
    EXPECT_FALSE(backend.data.ends_with("\r\n.\r\n"));  // a mail cut short is never ended
  }
}

TEST(SessionThreaded, ClientThatStopsMidHandshakeIsEndedAtTheTimeOut) {
  TempDir folder;
  const auto tls = TestTlsContext(folder);
  ASSERT_TRUE(tls);
  // Nothing at all, and a record header that promises more than comes.
  for (const std::string sent : {std::string(), std::string("\x16\x03\x01\x00\x80\x01", 6)}) {
    FakeBackend backend;
    SessionRun s(backend.Port(), 1, Timing(), 100, tls.get());
    EXPECT_EQ(s.Reply(), "220 backend ready");
    SendText(s.client, "STARTTLS\r\n");
    EXPECT_EQ(s.Reply(), "220 2.0.0 Ready to start TLS");
    if (!sent.empty()) SendText(s.client, sent);
    s.Join();
    backend.Join();
    EXPECT_TRUE(backend.commands.empty());  // no RSET: TLS never came up
    EXPECT_EQ(s.Transcript(), "STARTTLS\r\n220 2.0.0 Ready to start TLS\r\nABBRUCH Device timeout\r\n");
  }
}

}  // namespace
}  // namespace brenvik
