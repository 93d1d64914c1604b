// The relay session between a real client connection and a scripted
// backend, over loopback.
#include "gateway/relay_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gateway/gateway_state.h"
#include "maintenance/event_log.h"
#include "session_harness.h"
#include "store/database.h"
#include "store/sql.h"

namespace brenvik {
namespace {

using session_test::BackendScript;
using session_test::FakeBackend;
using session_test::SessionRun;
using Lines = std::vector<std::string>;

class SessionThreaded : public ::testing::Test {
 protected:
  void SetUp() override {
    SQL_Initialize(0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_TRUE(OpenDatabase(dir_.path(), "spam.mdb"));
    AcceptedDomains = {"@OURDOMAIN.EXAMPLE"};
    RelayAddresses.clear();
  }
  void TearDown() override {
    SQL_CloseDB();
    AcceptedDomains.clear();
    RelayAddresses.clear();
  }
  GatewaySettings Settings(const FakeBackend& backend) const {
    return session_test::SettingsFor(backend.port(), dir_.path());
  }
  Lines Transcript() const { return session_test::TranscriptLines(dir_.path()); }

  // Rows of LogTable as "email|text|ip".
  Lines LogRows() const {
    Lines rows;
    SQL_Stmt(3, "SELECT Email, Logtext, Ip FROM LogTable;");
    for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) {
      rows.push_back(SQL_ResColText(1) + "|" + SQL_ResColText(2) + "|" + SQL_ResColText(3));
    }
    return rows;
  }

  session_test::TempDir dir_;
};

TEST_F(SessionThreaded, NormalMailIsRelayedAndTranscribed) {
  FakeBackend backend{BackendScript{}};
  GatewaySettings settings = Settings(backend);
  settings.LogDB = 1;
  {
    SessionRun s(settings, session_test::FastTiming());
    EXPECT_EQ(s.Reply(), Lines{"220 backend ready"});
    s.Send("EHLO client.example\r\n");
    EXPECT_EQ(s.Reply(), (Lines{"250-backend", "250 8BITMIME"}));
    s.Send("MAIL FROM:<Sender@Example.org> SIZE=12\r\n");
    EXPECT_EQ(s.Reply(), Lines{"451 Try later..."});  // first attempt
    s.Send("MAIL FROM:<Sender@Example.org> SIZE=12\r\n");
    EXPECT_EQ(s.Reply(), Lines{"250 OK"});  // the retry passes
    s.Send("RCPT TO:<info@ourdomain.example>\r\n");
    EXPECT_EQ(s.Reply(), Lines{"250 OK"});
    s.Send("DATA\r\n");
    EXPECT_EQ(s.Reply(), Lines{"354 go ahead"});
    s.Send("Subject: hi\r\n\r\nHello.\r\n..dot\r\n.\r\n");
    EXPECT_EQ(s.Reply(), Lines{"250 queued"});
    s.Send("QUIT\r\n");
    EXPECT_EQ(s.Reply(), Lines{"221 bye"});
    EXPECT_EQ(s.Rest(), "");
  }
  backend.Join();
  EXPECT_EQ(backend.commands, (Lines{"EHLO client.example", "MAIL FROM:<Sender@Example.org> SIZE=12",
                                     "RCPT TO:<info@ourdomain.example>", "DATA", "QUIT"}));
  EXPECT_EQ(backend.data, "Subject: hi\r\n\r\nHello.\r\n..dot\r\n.\r\n");
  EXPECT_EQ(Transcript(),
            (Lines{"EHLO client.example", "250 8BITMIME", "MAIL FROM:<Sender@Example.org> SIZE=12",
                   "451 Try later...", "MAIL FROM:<Sender@Example.org> SIZE=12", "250 OK",
                   "RCPT TO:<info@ourdomain.example>", "250 OK", "DATA", "354 go ahead", "QUIT", "221 bye"}));
  EXPECT_EQ(LogRows(), (Lines{"SENDER@EXAMPLE.ORG|Try Later|127.0.0.1", "SENDER@EXAMPLE.ORG|OK|127.0.0.1"}));
}

TEST_F(SessionThreaded, OwnRepliesEndWithOneLineEnd) {
  FakeBackend backend{BackendScript{}};
  SessionRun s(Settings(backend), session_test::FastTiming());
  s.Reply();
  s.Send("MAIL FROM:<new@example.org>\r\n");
  s.Send("NOOP\r\n");
  // No empty line between the refusal and the next answer.
  EXPECT_EQ(s.Reply(), Lines{"451 Try later..."});
  EXPECT_EQ(s.Reply(), Lines{"250 OK"});
  s.Send("RCPT TO:<victim@elsewhere.example>\r\n");
  EXPECT_EQ(s.Rest(), "550 Relaying is prohibited\r\n");
  s.Join();
  backend.Join();
  EXPECT_EQ(backend.commands, Lines{"NOOP"});  // neither MAIL nor RCPT, and no QUIT
  EXPECT_FALSE(backend.saw_quit);
  EXPECT_EQ(Transcript(), (Lines{"MAIL FROM:<new@example.org>", "451 Try later...", "NOOP", "250 OK",
                                 "RCPT TO:<victim@elsewhere.example>", "550 Relaying is prohibited",
                                 "ABBRUCH No Error"}));
  EXPECT_TRUE(LogRows().empty());  // LogDB is off
}

// By the relay list, or by the receive host's text naming the client.
TEST_F(SessionThreaded, RelayAllowedClientIsNeitherGreylistedNorChecked) {
  for (bool by_list : {true, false}) {
    RelayAddresses = {" 127.0.0.1", by_list ? "127.0.0.1" : "127.0.0.3"};
    FakeBackend backend{BackendScript{}};
    GatewaySettings settings = Settings(backend);
    settings.LogDB = 1;
    if (!by_list) settings.RecvHost = "127.0.0.1";
    {
      SessionRun s(settings, session_test::FastTiming());
      s.Reply();
      s.Send("MAIL FROM:<new@example.org>\r\n");
      EXPECT_EQ(s.Reply(), Lines{"250 OK"});
      s.Send("RCPT TO:<anyone@elsewhere.example>\r\n");
      EXPECT_EQ(s.Reply(), Lines{"250 OK"});
      s.Send("QUIT\r\n");
      EXPECT_EQ(s.Reply(), Lines{"221 bye"});
    }
    backend.Join();
    EXPECT_EQ(backend.commands.size(), 3u);
  }
  EXPECT_TRUE(LogRows().empty());
}

TEST_F(SessionThreaded, MultiLineRepliesReachTheClientWholeAlsoWhenSplit) {
  BackendScript script;
  script.greeting = {"220-backend.example ESMTP\r\n", "220-no UCE\r\n220 ready\r\n"};
  script.ehlo = {"250-backend.example\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n",
                 "250-starttls\r\n250-8BITMIME\r\n250-BinaryMime\r\n250 CHUNKING\r\n"};
  FakeBackend backend{script};
  {
    SessionRun s(Settings(backend), session_test::FastTiming());
    EXPECT_EQ(s.Reply(), (Lines{"220-backend.example ESMTP", "220-no UCE", "220 ready"}));
    s.Send("EHLO client.example\r\n");
    EXPECT_EQ(s.Reply(), (Lines{"250-backend.example", "250-SIZE 10240000", "250 8BITMIME"}));
    s.Send("QUIT\r\n");
    EXPECT_EQ(s.Reply(), Lines{"221 bye"});
  }
  EXPECT_EQ(Transcript(), (Lines{"EHLO client.example", "250 8BITMIME", "QUIT", "221 bye"}));
}

TEST_F(SessionThreaded, PipelinedCommandsAreEachAnswered) {
  RelayAddresses = {"127.0.0.1"};
  FakeBackend backend{BackendScript{}};
  {
    SessionRun s(Settings(backend), session_test::FastTiming());
    s.Reply();
    // Data right after the DATA line and a QUIT after the mark, in one piece.
    s.Send("MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nrcpt to:<c@example.org>\r\n"
           "DATA\r\nbody\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(s.Reply(), Lines{"250 OK"});
    EXPECT_EQ(s.Reply(), Lines{"250 OK"});
    EXPECT_EQ(s.Reply(), Lines{"250 OK"});
    EXPECT_EQ(s.Reply(), Lines{"354 go ahead"});
    EXPECT_EQ(s.Reply(), Lines{"250 queued"});
    EXPECT_EQ(s.Reply(), Lines{"221 bye"});
  }
  backend.Join();
  EXPECT_EQ(backend.commands, (Lines{"MAIL FROM:<a@example.org>", "RCPT TO:<b@example.org>",
                                     "rcpt to:<c@example.org>", "DATA", "QUIT"}));
  EXPECT_EQ(backend.data, "body\r\n.\r\n");
}

TEST_F(SessionThreaded, RefusedDataStaysInCommandMode) {
  RelayAddresses = {"127.0.0.1"};
  BackendScript script;
  script.data_reply = "554 no valid recipients\r\n";
  FakeBackend backend{script};
  {
    SessionRun s(Settings(backend), session_test::FastTiming());
    s.Reply();
    s.Send("DATA\r\n");
    EXPECT_EQ(s.Reply(), Lines{"554 no valid recipients"});
    s.Send("NOOP\r\n");
    EXPECT_EQ(s.Reply(), Lines{"250 OK"});
    s.Send("QUIT\r\n");
    EXPECT_EQ(s.Reply(), Lines{"221 bye"});
  }
  backend.Join();
  EXPECT_EQ(backend.commands, (Lines{"DATA", "NOOP", "QUIT"}));
  EXPECT_EQ(backend.data, "");
}

// Data sent after DATA, and what the backend must receive.
struct DataCase {
  std::size_t read_max;  // bytes per data read of the session
  std::string sent;
  std::string relayed;
};

TEST_F(SessionThreaded, EndOfDataIsFoundWhereverItFalls) {
  RelayAddresses = {"127.0.0.1"};
  const std::vector<DataCase> cases = {
      {50000, ".\r\n", ".\r\n"},  // an empty message ends at once
      {50000, "a\r\nb\r\n.\r\n", "a\r\nb\r\n.\r\n"},
      {1, "a\r\n.\r\n", "a\r\n.\r\n"},  // every byte a read of its own
      {2, "ab\r\n.\r\n", "ab\r\n.\r\n"},
      {3, "x\r\n.x\r\n\r\n.\r\n", "x\r\n.x\r\n\r\n.\r\n"},
      // Bare LF and bare CR reach the backend as CR LF, and end the data.
      {50000, "a\nb\rc\r\n.\r\n", "a\r\nb\r\nc\r\n.\r\n"},
      {50000, "a\n.\n", "a\r\n.\r\n"},
      {1, "a\r\r\n.\r\n", "a\r\n\r\n.\r\n"},
  };
  for (const DataCase& c : cases) {
    FakeBackend backend{BackendScript{}};
    SessionTiming timing = session_test::FastTiming();
    timing.data_read_max = c.read_max;
    {
      SessionRun s(Settings(backend), timing);
      s.Reply();
      s.Send("DATA\r\n");
      EXPECT_EQ(s.Reply(), Lines{"354 go ahead"});
      s.Send(c.sent);
      EXPECT_EQ(s.Reply(), Lines{"250 queued"}) << c.sent;
      s.Send("QUIT\r\n");
      EXPECT_EQ(s.Reply(), Lines{"221 bye"}) << c.sent;
    }
    backend.Join();
    EXPECT_EQ(backend.data, c.relayed) << c.sent;
    EXPECT_EQ(backend.commands, (Lines{"DATA", "QUIT"})) << c.sent;
  }
}

TEST_F(SessionThreaded, CommandsAfterABareLineEndMarkPassTheChecks) {
  FakeBackend backend{BackendScript{}};
  {
    SessionRun s(Settings(backend), session_test::FastTiming());
    s.Reply();
    s.Send("RCPT TO:<info@ourdomain.example>\r\n");
    s.Reply();
    s.Send("DATA\r\n");
    EXPECT_EQ(s.Reply(), Lines{"354 go ahead"});
    s.Send("hello\n.\r\nRCPT TO:<victim@elsewhere.example>\r\n");
    EXPECT_EQ(s.Reply(), Lines{"250 queued"});
    EXPECT_EQ(s.Rest(), "550 Relaying is prohibited\r\n");
  }
  backend.Join();
  EXPECT_EQ(backend.data, "hello\r\n.\r\n");
  EXPECT_EQ(backend.commands, (Lines{"RCPT TO:<info@ourdomain.example>", "DATA"}));
}

TEST_F(SessionThreaded, BackendDownGetsTheFailureText) {
  GatewaySettings settings = session_test::SettingsFor(session_test::UnusedPort(), dir_.path());
  for (int logging : {2, 1}) {  // transcripts only at exactly 1
    settings.Logging = logging;
    SessionRun s(settings, session_test::FastTiming());
    EXPECT_EQ(s.Rest(), "421 Error MailserverDevice I/O error\r\n");
    s.Join();
    EXPECT_EQ(std::filesystem::exists(dir_.path() + "maillog"), logging == 1);
  }
  EXPECT_EQ(Transcript(), Lines{"Fehler beim OPEN Weiterleitungsserver"});
}

TEST_F(SessionThreaded, SilentBackendTimesOut) {
  BackendScript script;
  script.greet = false;
  FakeBackend backend{script};
  SessionTiming timing = session_test::FastTiming();
  timing.backend_timeout_ms = 100;
  {
    SessionRun s(Settings(backend), timing);
    EXPECT_EQ(s.Rest(), "421 Error MailserverDevice timeout\r\n");
  }
  EXPECT_EQ(Transcript(), Lines{"Fehler beim ersten Kommando an den Weiterleitungsserver"});
}

TEST_F(SessionThreaded, BackendThatHangsUpEndsTheSession) {
  RelayAddresses = {"127.0.0.1"};
  BackendScript script;
  script.hang_up_on = "NOOP";
  FakeBackend backend{script};
  {
    SessionRun s(Settings(backend), session_test::FastTiming());
    s.Reply();
    s.Send("NOOP\r\n");
    EXPECT_EQ(s.Rest(), "");  // no empty reply line, just the end
  }
  EXPECT_EQ(Transcript(), (Lines{"NOOP", "ABBRUCH Device I/O error"}));
}

TEST_F(SessionThreaded, ClientClosingInCommandModeEndsTheSession) {
  RelayAddresses = {"127.0.0.1"};
  {
    FakeBackend backend{BackendScript{}};
    SessionRun s(Settings(backend), session_test::FastTiming());
    s.Reply();
    CloseConnection(s.client);
    s.Join();
    backend.Join();
    EXPECT_TRUE(backend.commands.empty());  // nothing forwarded for the closed client
  }
  EXPECT_EQ(Transcript(), Lines{"ABBRUCH Device I/O error"});
}

TEST_F(SessionThreaded, ClientClosingInTheDataEndsTheSession) {
  RelayAddresses = {"127.0.0.1"};
  FakeBackend backend{BackendScript{}};
  {
    SessionRun s(Settings(backend), session_test::FastTiming());
    s.Reply();
    s.Send("DATA\r\n");
    s.Reply();
    s.Send("half a mess");
    CloseConnection(s.client);
    s.Join();
  }
  backend.Join();
  EXPECT_EQ(backend.commands, Lines{"DATA"});
  EXPECT_EQ(Transcript(), (Lines{"DATA", "354 go ahead", "ABBRUCH Device I/O error"}));
}

TEST_F(SessionThreaded, SilentClientIsAbortedWithTimeout) {
  FakeBackend backend{BackendScript{}};
  {
    SessionRun s(Settings(backend), session_test::FastTiming(), 100);
    s.Reply();
    s.Join();  // the client connection's own time-out ends the wait
  }
  backend.Join();
  EXPECT_TRUE(backend.commands.empty());
  EXPECT_EQ(Transcript(), Lines{"ABBRUCH Device timeout"});
}

TEST(GetPeerAddress, FailureReportsTheErrorNumber) {
  std::vector<std::string> events;
  SetEventObserver([&](std::uint32_t, int, const std::string& rendered) { events.push_back(rendered); });
  EXPECT_EQ(GetPeerAddress(-1), "");
  SetEventObserver({});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("Fehler: getpeername() failed9"), std::string::npos) << events[0];
}

}  // namespace
}  // namespace brenvik
