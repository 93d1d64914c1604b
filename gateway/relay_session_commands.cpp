// The command loop of the relay session: one client line, one command.
#include "gateway/gateway_state.h"
#include "gateway/greylist.h"
#include "gateway/relay_session_internal.h"
#include "gateway/relay_session_rules.h"
#include "gateway/relay_session_texts.h"

namespace brenvik {

const SmtpRelay::Verb SmtpRelay::kVerbs[] = {
    {"MAIL", &SmtpRelay::OnMail}, {"RCPT", &SmtpRelay::OnRcpt}, {"DATA", &SmtpRelay::OnData},
    {"QUIT", &SmtpRelay::OnQuit}, {"EHLO", &SmtpRelay::OnEhlo},
};

void SmtpRelay::HandleCommand() {
  if (!ReadLine(client_, line_)) return Abort(client_.FailureText());
  // A closed client reads as an empty line; forwarding it would only loop.
  if (line_.empty() && NothingPending(client_) && PeerClosed(client_)) {
    return Abort(DescribeFailure(NetFailure::IoError));
  }
  Log(line_);
  const std::string word = UpperCase(std::string_view(line_).substr(0, 4));
  for (const Verb& verb : kVerbs) {
    if (word == verb.word) return (this->*verb.handle)();
  }
  Forward();
}

// Reads the answer, hands every line back, logs its final line.
bool SmtpRelay::RelayAnswer(SmtpReply& reply, bool withhold_extensions) {
  if (!TakeAnswer(reply)) return false;
  if (withhold_extensions) WithholdExtensions(reply.lines);
  if (!HandBack(reply)) return false;
  Log(reply.FinalLine());
  return true;
}

void SmtpRelay::Forward() {
  SmtpReply reply;
  if (SendToBackend(line_ + std::string(relay_text::kLineEnd))) RelayAnswer(reply, false);
}

void SmtpRelay::OnEhlo() {
  SmtpReply reply;
  if (SendToBackend(line_ + std::string(relay_text::kLineEnd))) RelayAnswer(reply, true);
}

void SmtpRelay::OnMail() {
  if (relay_allowed_) return Forward();
  if (!CheckSender(line_, client_ip_, settings_.CheckBadMailAdr != 0)) {
    if (!SendToClient(std::string(relay_text::kTryLater) + std::string(relay_text::kLineEnd))) return;
    LogRow(relay_text::kRowDeferred);
    Log(relay_text::kTryLater);
    return;
  }
  if (!SendToBackend(line_ + std::string(relay_text::kLineEnd))) return;
  LogRow(relay_text::kRowAccepted);
  SmtpReply reply;
  RelayAnswer(reply, false);
}

void SmtpRelay::OnRcpt() {
  if (relay_allowed_ || RecipientAccepted(line_, AcceptedDomains)) return Forward();
  if (!SendToClient(std::string(relay_text::kRelayingProhibited) + std::string(relay_text::kLineEnd))) return;
  Log(relay_text::kRelayingProhibited);
  CloseBoth();  // no QUIT to the backend
  Log(std::string(relay_text::kAbort) + std::string(DescribeFailure(NetFailure::None)));
  state_ = SessionState::Ended;
}

// Mail data follows only when the backend is ready for it.
void SmtpRelay::OnData() {
  SmtpReply reply;
  if (!SendToBackend(line_ + std::string(relay_text::kLineEnd))) return;
  if (!RelayAnswer(reply, false)) return;
  if (reply.FinalLine().compare(0, 3, relay_text::kStartMailInput) == 0) state_ = SessionState::Data;
}

void SmtpRelay::OnQuit() {
  Forward();
  if (state_ == SessionState::Ended) return;
  CloseBoth();
  state_ = SessionState::Ended;
}

}  // namespace brenvik
