// The report client against scripted peers and against a real aiosmtpd.
#include "maintenance/status_mail.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include "tests/maintenance/aiosmtpd_server.h"
#include "tests/maintenance/fake_smtp.h"
#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

using test::FakeSmtpServer;
using test::Peer;

constexpr int kShortTimeoutMs = 300;  // stands in for the two minutes
const std::string kMessage = "Subject:Spamstatistik\r\nBrenvik hat gestern 3 Spammails vernichtet!\r\n";

// A peer that plays a willing server for `answers` exchanges after its
// greeting; the exchange after the last answer gets `last` (empty: the
// peer falls silent).
FakeSmtpServer::Script Dialogue(std::string greeting, int answers, std::string last) {
  return [greeting, answers, last](Peer& p) {
    const char* good[] = {"250 hello\r\n", "250 sender ok\r\n", "250 rcpt ok\r\n",
                          "354 go ahead\r\n", "250 queued\r\n", "221 bye\r\n"};
    if (!p.Send(greeting)) return;
    for (int i = 0; i <= answers && i < 6; ++i) {
      const std::string reply = i < answers ? good[i] : last;
      std::string line;
      if (i == 4) {
        while (p.ReadLine(line) && line != ".") {
        }
      } else if (!p.ReadLine(line)) {
        return;
      }
      if (reply.empty()) return;
      p.Send(reply);
    }
  };
}

// Also: HELO names the host argument, here the settings' default.
TEST(StatusMail, MessageWithoutFinalLineEndGetsOne) {
  FakeSmtpServer server(Dialogue("220 mx ready\r\n", 6, ""));
  EXPECT_EQ(SendStatusMail("a@b.example", "Subject:x\r\n.starts with a dot", server.port(), "localhost",
                           kShortTimeoutMs),
            "OK");
  server.Join();
  const std::vector<std::string> lines = server.lines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "HELO localhost");
  EXPECT_EQ(lines[4], "Subject:x");
  EXPECT_EQ(lines[5], ".starts with a dot");  // sent unchanged, as the caller guarantees
  EXPECT_EQ(lines[6], ".");
}

TEST(StatusMail, SuccessfulDialogueSendsTheCommandsInOrder) {
  FakeSmtpServer server(Dialogue("220 mx ready\r\n", 6, ""));
  EXPECT_EQ(SendStatusMail("admin@example.org", kMessage, server.port(), "127.0.0.1", kShortTimeoutMs), "OK");
  server.Join();
  const std::vector<std::string> expected = {
      "HELO 127.0.0.1", "MAIL FROM:<brenvik@localhost>", "RCPT TO:<admin@example.org>", "DATA",
      "Subject:Spamstatistik", "Brenvik hat gestern 3 Spammails vernichtet!", ".", "QUIT"};
  EXPECT_EQ(server.lines(), expected);
  EXPECT_TRUE(server.client_closed());
}

// Every exchange: a peer that falls silent, and one that refuses; after a
// refusal the client sends nothing more and hangs up.
TEST(StatusMail, EachStepHasItsOwnFailureTexts) {
  struct Case {
    int answers;
    const char* refusal;
    const char* silent;
    const char* refused;
    const char* last_line;  // what the refusing peer read last
  } cases[] = {
      {0, "502 Command not implemented\r\n", "Fehler beim Empfang nach HELO", "Falscher Status nach HELO",
       "HELO 127.0.0.1"},
      {1, "553 no\r\n", "Fehler beim Empfang nach MAIL", "Falscher Status nach MAIL",
       "MAIL FROM:<brenvik@localhost>"},
      {2, "550 No such user\r\n", "Fehler beim Empfang nach RCPT", "Falscher Status nach RCPT",
       "RCPT TO:<a@b.example>"},
      {3, "451 later\r\n", "Fehler beim Empfang nach DATA", "Falscher Status nach DATA", "DATA"},
      {4, "554 no\r\n", "Fehler nach Senden der Maildaten", "Falscher Status nach Maildaten", "."},
      {5, "500 what\r\n", "Fehler nach Senden von QUIT", "Falscher Status nach QUIT", "QUIT"},
  };
  for (const Case& c : cases) {
    FakeSmtpServer silent(Dialogue("220 mx\r\n", c.answers, ""));
    EXPECT_EQ(SendStatusMail("a@b.example", kMessage, silent.port(), "127.0.0.1", kShortTimeoutMs), c.silent);
    FakeSmtpServer refusing(Dialogue("220 mx\r\n", c.answers, c.refusal));
    EXPECT_EQ(SendStatusMail("a@b.example", kMessage, refusing.port(), "127.0.0.1", kShortTimeoutMs),
              c.refused);
    refusing.Join();
    ASSERT_FALSE(refusing.lines().empty());
    EXPECT_EQ(refusing.lines().back(), c.last_line);
    EXPECT_TRUE(refusing.client_closed()) << c.refused;
  }
}

TEST(StatusMail, GreetingFailures) {
  FakeSmtpServer silent([](Peer&) {});
  EXPECT_EQ(SendStatusMail("a@b.example", kMessage, silent.port(), "127.0.0.1", kShortTimeoutMs),
            "Keine Antwort nach OPEN");
  FakeSmtpServer hangs_up([](Peer& p) { p.HangUp(); });
  EXPECT_EQ(SendStatusMail("a@b.example", kMessage, hangs_up.port(), "127.0.0.1", kShortTimeoutMs),
            "Falsche Antwort beim OPEN");
  FakeSmtpServer busy(Dialogue("421 busy\r\n", 0, ""));
  EXPECT_EQ(SendStatusMail("a@b.example", kMessage, busy.port(), "127.0.0.1", kShortTimeoutMs),
            "Falsche Antwort beim OPEN");
}

TEST(StatusMail, UnreachableHost) {
  // A bound port without a listener refuses connections.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  EXPECT_EQ(SendStatusMail("a@b.example", kMessage, ntohs(addr.sin_port), "127.0.0.1", kShortTimeoutMs),
            "Mailhost nicht erreichbar");
  close(fd);
}

TEST(StatusMail, MultiLineGreetingIsJudgedByItsFinalLine) {
  FakeSmtpServer one_piece(Dialogue("220-mx.example first\r\n220 mx.example ready\r\n", 6, ""));
  EXPECT_EQ(SendStatusMail("a@b.example", kMessage, one_piece.port(), "127.0.0.1", kShortTimeoutMs), "OK");

  // The second half comes only if the client did not run ahead after the
  // first one.
  FakeSmtpServer split([](Peer& p) {
    p.Send("220-mx.example first\r\n");
    if (p.DataWithin(200)) return;  // the client sent HELO too early
    Dialogue("220 mx.example ready\r\n", 6, "")(p);
  });
  EXPECT_EQ(SendStatusMail("a@b.example", kMessage, split.port(), "127.0.0.1", 2000), "OK");
  split.Join();
  ASSERT_FALSE(split.lines().empty());
  EXPECT_EQ(split.lines().front(), "HELO 127.0.0.1");
}

TEST(StatusMail, ReportReachesARealMailServer) {
  test::TempDir dir;
  test::AiosmtpdServer server(dir.path());
  ASSERT_NE(server.port(), 0) << "aiosmtpd did not start";
  const std::string report =
      "Subject:Spamstatistik\r\nBrenvik hat gestern 17 Spammails vernichtet!\r\n\r\n"
      "Gesamtstatistik:\r\nNovember 2026      1234\r\nDezember 2026        17\r\n";
  EXPECT_EQ(SendStatusMail("postmaster@example.org", report, server.port(), "127.0.0.1"), "OK");
  EXPECT_EQ(test::ReadFile(server.MailPath(0)), "brenvik@localhost\npostmaster@example.org\n" + report);
}

}  // namespace
}  // namespace brenvik
