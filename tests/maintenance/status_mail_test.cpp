// The report client against scripted peers and against a real aiosmtpd.
#include "maintenance/status_mail.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/maintenance/test_support.h"

namespace brenvik {
namespace {

using test::Lines;

constexpr int kShortTimeoutMs = 300;  // stands in for the two minutes
const Lines kWilling = {"250 hello|", "250 sender ok|", "250 rcpt ok|", "354 go ahead|", "250 queued|",
                        "221 bye|"};

std::string Send(const test::SmtpPeer& peer, const std::string& message = "Subject:x\r\n\r\nbody\r\n",
                 int timeout_ms = kShortTimeoutMs) {
  return SendStatusMail("a@b.example", message, peer.port, "127.0.0.1", timeout_ms);
}

// Also: a message without a final line end gets one before the "." line.
TEST(StatusMail, DialogueSendsTheCommandsInOrderAndHangsUp) {
  test::SmtpPeer peer({"220 mx ready|"}, kWilling);
  EXPECT_EQ(Send(peer, "Subject:x\r\nno final line end"), "OK");
  EXPECT_EQ(peer.Finish(), (Lines{"HELO 127.0.0.1", "MAIL FROM:<brenvik@localhost>", "RCPT TO:<a@b.example>",
                                  "DATA", "Subject:x", "no final line end", ".", "QUIT", "<closed>"}));
}

// Every exchange, with a peer that falls silent and one that refuses;
// after a refusal the client sends nothing more and hangs up.
TEST(StatusMail, EachStepHasItsOwnFailureTexts) {
  const struct {
    Lines greeting;
    int willing;        // exchanges answered before the failing one
    const char* reply;  // of the failing exchange ("": silence)
    const char *expected, *last_line;
  } cases[] = {
      {{}, 0, "", "Keine Antwort nach OPEN", "<closed>"},
      {{"HANGUP"}, 0, "", "Falsche Antwort beim OPEN", "<closed>"},
      {{"421 busy|"}, 0, "", "Falsche Antwort beim OPEN", "<closed>"},
      {{"220 mx|"}, 0, "", "Fehler beim Empfang nach HELO", "HELO 127.0.0.1"},
      {{"220 mx|"}, 0, "502 Command not implemented|", "Falscher Status nach HELO", "HELO 127.0.0.1"},
      {{"220 mx|"}, 1, "", "Fehler beim Empfang nach MAIL", "MAIL FROM:<brenvik@localhost>"},
      {{"220 mx|"}, 1, "553 no|", "Falscher Status nach MAIL", "MAIL FROM:<brenvik@localhost>"},
      {{"220 mx|"}, 2, "", "Fehler beim Empfang nach RCPT", "RCPT TO:<a@b.example>"},
      {{"220 mx|"}, 2, "550 No such user|", "Falscher Status nach RCPT", "RCPT TO:<a@b.example>"},
      {{"220 mx|"}, 3, "", "Fehler beim Empfang nach DATA", "DATA"},
      {{"220 mx|"}, 3, "451 later|", "Falscher Status nach DATA", "DATA"},
      {{"220 mx|"}, 4, "", "Fehler nach Senden der Maildaten", "."},
      {{"220 mx|"}, 4, "554 no|", "Falscher Status nach Maildaten", "."},
      {{"220 mx|"}, 5, "", "Fehler nach Senden von QUIT", "QUIT"},
      {{"220 mx|"}, 5, "500 what|", "Falscher Status nach QUIT", "QUIT"},
  };
  for (const auto& c : cases) {
    Lines replies(kWilling.begin(), kWilling.begin() + c.willing);
    replies.push_back(c.reply);
    test::SmtpPeer peer(c.greeting, replies);
    EXPECT_EQ(Send(peer), c.expected);
    const Lines lines = peer.Finish();
    ASSERT_FALSE(lines.empty()) << c.expected;
    // The client hung up, after the failing exchange's command at the latest.
    EXPECT_EQ(lines.back(), "<closed>") << c.expected;
    EXPECT_EQ(lines.size() < 2 ? "<closed>" : lines[lines.size() - 2], c.last_line) << c.expected;
  }
}

TEST(StatusMail, UnreachableHost) {
  // A bound port without a listener refuses connections.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  EXPECT_EQ(SendStatusMail("a@b.example", "x\r\n", ntohs(addr.sin_port), "127.0.0.1", kShortTimeoutMs),
            "Mailhost nicht erreichbar");
  close(fd);
}

TEST(StatusMail, MultiLineGreetingIsJudgedByItsFinalLine) {
  for (const Lines& greeting : {Lines{"220-mx.example first|220 mx.example ready|"},
                                Lines{"220-mx.example first|", "220 mx.example ready|"}}) {
    test::SmtpPeer peer(greeting, kWilling);
    EXPECT_EQ(Send(peer, "Subject:x\r\n", 2000), "OK") << greeting.size() << " pieces";
    EXPECT_EQ(peer.Finish().front(), "HELO 127.0.0.1");  // not "<ran ahead>"
  }
}

TEST(StatusMail, ReportReachesARealMailServer) {
  test::SmtpPeer server({"aiosmtpd"}, {});
  ASSERT_NE(server.port, 0) << "aiosmtpd did not start";
  const std::string report =
      "Subject:Spamstatistik\r\nBrenvik hat gestern 17 Spammails vernichtet!\r\n\r\n"
      "Gesamtstatistik:\r\nNovember 2026      1234\r\nDezember 2026        17\r\n";
  EXPECT_EQ(SendStatusMail("postmaster@example.org", report, server.port, "127.0.0.1"), "OK");
  EXPECT_EQ(server.Mail(), "brenvik@localhost\npostmaster@example.org\n" + report);
}

}  // namespace
}  // namespace brenvik
