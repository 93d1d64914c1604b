// One-shot SMTP client for the daily report.
#include "maintenance/status_mail.h"

#include "gateway/connection.h"
#include "gateway/smtp_reply.h"
#include "maintenance/maintenance_texts.h"

namespace brenvik {

const char* const kStatusMailSender = "brenvik@localhost";

namespace {

// One exchange of the dialogue: what is sent (nothing for the greeting), the
// code the final reply line must start with, and the step's failure texts.
struct DialogueStep {
  std::string payload;          // sent in one piece; empty = only read
  std::string_view expected;    // first three characters of the final line
  std::string_view send_failure;
  std::string_view receive_failure;
  std::string_view wrong_code;
};

// "" when the step went through, otherwise its failure text.
std::string_view RunStep(Connection& c, const DialogueStep& step) {
  if (!step.payload.empty() && !SendText(c, step.payload)) return step.send_failure;
  SmtpReply reply;
  if (!ReadSmtpReply(c, reply) || reply.lines.empty()) return step.receive_failure;
  const std::string& last = reply.FinalLine();
  if (last.size() < 3 || last.compare(0, 3, step.expected) != 0) return step.wrong_code;
  return {};
}

std::string Command(std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  std::string line;
  line.reserve(a.size() + b.size() + c.size() + 2);
  line.append(a).append(b).append(c).append("\r\n");
  return line;
}

}  // namespace

std::string SendStatusMail(std::string_view recipient, std::string_view message, int port,
                           std::string_view host, int timeout_ms) {
  using namespace texts;
  // The CR LF that ends the message's last line, then the end-of-data line.
  // A message that already ends with its line end gets no second one, so
  // it arrives byte for byte without a trailing empty line.
  std::string body(message);
  if (!body.ends_with("\r\n")) body.append("\r\n");
  body.append(".\r\n");
  const DialogueStep steps[] = {
      {"", "220", {}, kNoGreeting, kWrongGreeting},
      {Command("HELO ", host), "250", kHeloSend, kHeloReceive, kHeloStatus},
      {Command("MAIL FROM:<", kStatusMailSender, ">"), "250", kMailSend, kMailReceive, kMailStatus},
      {Command("RCPT TO:<", recipient, ">"), "250", kRcptSend, kRcptReceive, kRcptStatus},
      {Command("DATA"), "354", kDataSend, kDataReceive, kDataStatus},
      {body, "250", kBodySend, kBodyReceive, kBodyStatus},
      {Command("QUIT"), "221", kQuitSend, kQuitReceive, kQuitStatus},
  };

  Connection c;
  if (!OpenConnection(host, port, timeout_ms, c)) return std::string(kMailhostUnreachable);
  for (const DialogueStep& step : steps) {
    std::string_view failure = RunStep(c, step);
    if (!failure.empty()) {
      CloseConnection(c);
      return std::string(failure);
    }
  }
  CloseConnection(c);
  return std::string(kMailOk);
}

}  // namespace brenvik
