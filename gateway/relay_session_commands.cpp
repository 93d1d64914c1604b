// The command loop of the relay session: one client line, one command. Each
// line is parsed once (smtp_command.h); that parse decides and the very same
// bytes are forwarded. Only the verbs in kVerbs reach the backend; every
// other verb is answered here. AUTH, VRFY, EXPN and ETRN were once passed on:
// the backend trusts the gateway's address, so guessed passwords and user
// lists would have reached it from there, and a SASL exchange the gateway
// cannot follow put the two sides out of step.
#include "gateway/gateway_state.h"
#include "gateway/greylist.h"
#include "gateway/relay_session_internal.h"
#include "gateway/relay_session_rules.h"
#include "gateway/relay_session_texts.h"
#include "store/sql.h"

namespace brenvik {

namespace {
std::string WithLineEnd(std::string_view text) { return std::string(text).append(relay_text::kLineEnd); }
}  // namespace

const SmtpRelay::Verb SmtpRelay::kVerbs[] = {
    {"MAIL", &SmtpRelay::OnMail},  {"RCPT", &SmtpRelay::OnRcpt},
    {"DATA", &SmtpRelay::OnData},  {"QUIT", &SmtpRelay::OnQuit},
    {"EHLO", &SmtpRelay::OnEhlo},  {"HELO", &SmtpRelay::OnHelo},
    {"RSET", &SmtpRelay::Forward}, {"NOOP", &SmtpRelay::Forward},
    {"HELP", &SmtpRelay::Forward}, {"STARTTLS", &SmtpRelay::OnStartTls},
    {"VRFY", &SmtpRelay::OnVrfy},
};

void SmtpRelay::HandleCommand() {
  if (!ReadCommandLine(client_, kMaxCommandLine, line_)) return AbortClientRead();
  // A closed client reads as an empty line; forwarding it would only loop.
  if (line_.empty() && NothingPending(client_) && PeerClosed(client_)) {
    return Abort(DescribeFailure(NetFailure::IoError));
  }
  Log(line_);
  command_ = ParseCommand(line_);
  Dispatch();
}

void SmtpRelay::Dispatch() {
  switch (command_.form) {
    case LineForm::Empty:
      return Forward();
    case LineForm::NotACommand:
      return AnswerError(line_.size() > kMaxCommandLine ? relay_text::kLineTooLong : relay_text::kNotRecognized);
    case LineForm::Command:
      break;
  }
  for (const Verb& verb : kVerbs) {
    if (command_.verb == verb.word) return (this->*verb.handle)();
  }
  OnRefusedVerb();
}

bool SmtpRelay::EndIfTooManyErrors() {
  if (++error_replies_ < relay_text::kMaxErrorReplies) return false;
  EndWithReply(relay_text::kTooManyErrors, relay_text::kEndTooManyErrors);
  return true;
}

void SmtpRelay::AnswerError(std::string_view reply) {
  if (EndIfTooManyErrors()) return;
  if (SendToClientOrAbort(WithLineEnd(reply))) Log(reply);
}

void SmtpRelay::EndWithReply(std::string_view reply, std::string_view why) {
  if (!SendToClientOrAbort(WithLineEnd(reply))) return;
  summary_.end = why;
  Log(reply);
  CloseBoth();
  Log(std::string(relay_text::kAbort).append(DescribeFailure(NetFailure::None)));
  state_ = SessionState::Ended;
}

bool SmtpRelay::RelayReplyOrAbort(bool withhold_extensions, SmtpReply& reply) {
  if (!ReceiveReplyOrAbort(reply)) return false;
  if (withhold_extensions) {
    WithholdExtensions(reply.lines);
    if (OffersStartTls()) AddExtension(reply.lines, relay_text::kStartTlsExtension);
  }
  if (!SendReplyOrAbort(reply)) return false;
  last_reply_ = reply.FinalLine();
  Log(last_reply_);
  return true;
}

void SmtpRelay::Forward() {
  SmtpReply reply;
  if (SendToBackendOrAbort(WithLineEnd(line_))) RelayReplyOrAbort(false, reply);
}

void SmtpRelay::OnHelo() {
  summary_.helo = command_.argument;
  Forward();
}

void SmtpRelay::OnEhlo() {
  summary_.helo = command_.argument;
  SmtpReply reply;
  if (SendToBackendOrAbort(WithLineEnd(line_))) RelayReplyOrAbort(true, reply);
}

void SmtpRelay::OnRefusedVerb() { AnswerError(relay_text::kNotImplemented); }

void SmtpRelay::OnVrfy() { AnswerError(relay_text::kCannotVerify); }

void SmtpRelay::OnStartTls() {
  if (tls_ == nullptr) return OnRefusedVerb();
  if (client_.TlsActive()) return AnswerError(relay_text::kTlsAlreadyActive);
  if (!command_.argument.empty()) return AnswerError(relay_text::kStartTlsParameters);
  if (!SendToClientOrAbort(WithLineEnd(relay_text::kReadyToStartTls))) return;
  Log(relay_text::kReadyToStartTls);
  std::string failure;
  if (!StartTlsServer(client_, *tls_, failure)) return Abort(failure);
  Log(std::string(relay_text::kTlsStarted).append(TlsSummary(client_)));
  summary_.tls = true;
  ResetBackend();
}

void SmtpRelay::ResetBackend() {
  SmtpReply ignored;
  if (SendToBackendOrAbort(WithLineEnd(relay_text::kBackendReset))) ReceiveReplyOrAbort(ignored);
}

void SmtpRelay::OnMail() {
  if (relay_allowed_) {
    summary_.AddSender(SenderKey(line_, client_ip_), relay_text::kDecisionRelayAllowed);
    return Forward();
  }
  const MailPath path = ParseMailPath(command_.argument, "FROM");
  if (path.form != MailPath::Form::Mailbox && path.form != MailPath::Form::Null) {
    return AnswerError(relay_text::kBadSenderSyntax);
  }
  // The decision and its log row wait for the database together at most
  // its deadline (and one connect attempt), whatever the server does.
  SqlSharedDeadline deadline;
  const SenderDecision decision = DecideSender(line_, client_ip_, settings_.CheckBadMailAdr != 0);
  summary_.AddSender(SenderKey(line_, client_ip_), DecisionName(decision));
  if (!Accepts(decision)) {
    // Each deferral may have stored a row: one session may not fill the table.
    LogRow(relay_text::kRowDeferred);
    return AnswerError(relay_text::kTryLater);
  }
  LogRow(relay_text::kRowAccepted);
  if (!SendToBackendOrAbort(WithLineEnd(line_))) return;
  SmtpReply reply;
  RelayReplyOrAbort(false, reply);
}

void SmtpRelay::OnRcpt() {
  const MailPath path = ParseMailPath(command_.argument, "TO");
  const std::string_view recipient = path.form == MailPath::Form::Invalid ? command_.argument : path.text;
  if (relay_allowed_ || RecipientAccepted(path, AcceptedDomains)) {
    Forward();
    if (state_ != SessionState::Ended) summary_.AddRecipient(recipient, last_reply_.starts_with('2'));
    return;
  }
  summary_.AddRecipient(recipient, false);
  EndWithReply(relay_text::kRelayingProhibited, relay_text::kEndRefusedRecipient);
}

// Mail data follows only when the backend is ready for it.
void SmtpRelay::OnData() {
  SmtpReply reply;
  if (!SendToBackendOrAbort(WithLineEnd(line_))) return;
  if (!RelayReplyOrAbort(false, reply)) return;
  if (reply.FinalLine().compare(0, 3, relay_text::kStartMailInput) == 0) state_ = SessionState::Data;
}

void SmtpRelay::OnQuit() {
  Forward();
  if (state_ == SessionState::Ended) return;
  summary_.end = relay_text::kEndQuit;
  CloseBoth();
  state_ = SessionState::Ended;
}

}  // namespace brenvik
