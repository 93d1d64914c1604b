#include "gateway/relay_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <string>

#include "gateway/gateway_state.h"
#include "gateway/greylist.h"
#include "gateway/relay_session_internal.h"
#include "gateway/relay_session_texts.h"
#include "maintenance/event_log.h"

namespace brenvik {

bool IsRelayAllowed(const std::string& client_ip, const std::string& recv_host) {
  return client_ip == recv_host ||
         std::find(RelayAddresses.begin(), RelayAddresses.end(), client_ip) != RelayAddresses.end();
}

std::string GetPeerAddress(int socket) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    ReportError(std::string(relay_text::kPeerNameFailed) + std::to_string(errno));
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  if (peer.sin_family != AF_INET || inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr) {
    ReportError(std::string(relay_text::kPeerNameFailed) + std::to_string(EAFNOSUPPORT));
    return {};
  }
  return text;
}

void RelaySession(Connection client, const GatewaySettings& settings, const SessionTiming& timing,
                  const TlsServerContext* tls) {
  try {
    SmtpRelay session(std::move(client), settings, timing, tls);
    session.Run();
  } catch (...) {
    // Exhaustion only; the session's destructor has closed what it opened.
  }
}

SmtpRelay::SmtpRelay(Connection client, const GatewaySettings& settings, const SessionTiming& timing,
                     const TlsServerContext* tls)
    : client_(std::move(client)), settings_(settings), timing_(timing), tls_(tls), logging_(settings.Logging == 1) {}

SmtpRelay::~SmtpRelay() {
  CloseBoth();
  WriteSessionLine(summary_);
  if (logging_) CloseConnectionLog(log_);
}

void SmtpRelay::Run() {
  session_deadline_ = Connection::Clock::now() + std::chrono::milliseconds(timing_.session_limit_ms);
  client_.SetDeadline(session_deadline_);
  client_ip_ = GetPeerAddress(client_.Socket());
  summary_.client = client_ip_;
  relay_allowed_ = IsRelayAllowed(client_ip_, settings_.RecvHost);
  if (logging_) log_ = OpenConnectionLog(settings_.WorkDir);
  if (!ConnectBackend()) return;
  while (state_ != SessionState::Ended) {
    if (state_ == SessionState::Data) {
      DataPhase();
    } else {
      HandleCommand();
    }
  }
}

// Connects, takes in the greeting and hands it to the client.
bool SmtpRelay::ConnectBackend() {
  if (!OpenConnection(settings_.SendHost, settings_.SendPort, timing_.backend_timeout_ms, backend_)) {
    RefuseClient(backend_.FailureText());
    summary_.end = std::string(relay_text::kEndBackend).append(backend_.FailureText());
    CloseConnection(client_);
    Log(relay_text::kBackendOpenFailed);
    return false;
  }
  SmtpReply greeting;
  std::string_view failure;
  if (!ReceiveBackendReply(greeting, failure)) {
    RefuseClient(failure);
    summary_.end = std::string(relay_text::kEndBackend).append(failure);
    CloseBoth();
    Log(relay_text::kBackendGreetingFailed);
    return false;
  }
  return SendReplyOrAbort(greeting);
}

void SmtpRelay::RefuseClient(std::string_view failure) {
  std::string text(relay_text::kBackendFailure);
  text.append(failure).append(relay_text::kLineEnd);
  SendText(client_, text);  // the session ends either way
}

// A backend that closes instead of answering fails like a broken connection.
bool SmtpRelay::ReceiveBackendReply(SmtpReply& reply, std::string_view& failure) {
  if (!ReadSmtpReply(backend_, reply)) {
    failure = backend_.FailureText();
    return false;
  }
  if ((reply.lines.empty() || reply.FinalLine().empty()) && PeerClosed(backend_)) {
    failure = DescribeFailure(NetFailure::IoError);
    return false;
  }
  return true;
}

bool SmtpRelay::ReceiveReplyOrAbort(SmtpReply& reply) {
  std::string_view failure;
  if (ReceiveBackendReply(reply, failure)) return true;
  Abort(failure);
  return false;
}

bool SmtpRelay::SendReplyOrAbort(const SmtpReply& reply) {
  std::string text;
  for (const std::string& line : reply.lines) text.append(line).append(relay_text::kLineEnd);
  return SendToClientOrAbort(text);
}

bool SmtpRelay::SendToBackendOrAbort(std::string_view text) {
  if (SendText(backend_, text)) return true;
  Abort(backend_.FailureText());
  return false;
}

bool SmtpRelay::SendToClientOrAbort(std::string_view text) {
  if (SendText(client_, text)) return true;
  Abort(client_.FailureText());
  return false;
}

void SmtpRelay::Abort(std::string_view failure) {
  std::string entry(relay_text::kAbort);
  entry.append(failure);
  summary_.end = failure;
  CloseBoth();
  Log(entry);
  state_ = SessionState::Ended;
}

void SmtpRelay::AbortClientRead() {
  if (client_.Failure() != NetFailure::Timeout) return Abort(client_.FailureText());
  switch (client_.LastWaitLimit()) {
    case WaitLimit::Idle: return Abort(client_.FailureText());
    case WaitLimit::LineDeadline: return EndAtDeadline(relay_text::kEndLineDeadline);
    case WaitLimit::Deadline:
      return EndAtDeadline(state_ == SessionState::Data && data_deadline_ < session_deadline_
                               ? relay_text::kEndDataRate
                               : relay_text::kEndSessionLimit);
  }
}

// The client may still read: it is told why before the close. The backend
// gets no end of data, so a message cut short is never delivered.
void SmtpRelay::EndAtDeadline(std::string_view why) {
  client_.SetTimeoutMs(0);
  SendText(client_, std::string(relay_text::kDeadlineReply).append(relay_text::kLineEnd));
  Log(relay_text::kDeadlineReply);
  summary_.end = why;
  CloseBoth();
  Log(std::string(relay_text::kAbort).append(why));
  state_ = SessionState::Ended;
}

void SmtpRelay::CloseBoth() {
  if (client_.IsOpen() && timing_.before_client_close) timing_.before_client_close();
  CloseConnection(client_);
  CloseConnection(backend_);
}

void SmtpRelay::Log(std::string_view text) {
  if (logging_) WriteConnectionLog(log_, text);
}

void SmtpRelay::LogRow(std::string_view decision) {
  if (settings_.LogDB != 1) return;
  InsertLogRow(SenderKey(line_, client_ip_), decision, client_ip_);
}

}  // namespace brenvik
