#pragma once
// The relay session's per-connection state and steps (used by the
// relay_session_*.cpp files only).
#include <string>
#include <string_view>

#include "gateway/connection.h"
#include "gateway/relay_session.h"
#include "gateway/smtp_command.h"
#include "gateway/smtp_reply.h"
#include "maintenance/mail_log.h"
#include "maintenance/session_log.h"
#include "store/settings.h"

namespace brenvik {

enum class SessionState { Command, Data, Ended };

class SmtpRelay {
 public:
  SmtpRelay(Connection client, const GatewaySettings& settings, const SessionTiming& timing,
            const TlsServerContext* tls);
  ~SmtpRelay();  // closes both connections and the transcript
  SmtpRelay(const SmtpRelay&) = delete;
  SmtpRelay& operator=(const SmtpRelay&) = delete;

  void Run();

 private:
  using Handler = void (SmtpRelay::*)();
  struct Verb {
    std::string_view word;  // the whole verb, upper case
    Handler handle;
  };
  static const Verb kVerbs[];

  bool ConnectBackend();
  void RefuseClient(std::string_view failure);
  void HandleCommand();
  void Dispatch();
  void OnMail();
  void OnRcpt();
  void OnData();
  void OnQuit();
  void OnEhlo();
  void OnHelo();
  void OnRefusedVerb();
  void OnVrfy();
  void OnStartTls();
  // After the handshake: the backend drops what the client set up in clear.
  void ResetBackend();
  bool OffersStartTls() const { return tls_ != nullptr && !client_.TlsActive(); }
  void Forward();
  void DataPhase();
  bool ReadDataBlock(std::string& block);

  // The gateway's own answer to a line it does not relay (or to a deferred
  // sender); too many of them end the session.
  void AnswerError(std::string_view reply);
  // Counts one such answer; true after it ended the session.
  bool EndIfTooManyErrors();
  // Sends `reply`, closes both sides (no QUIT to the backend), ends.
  void EndWithReply(std::string_view reply, std::string_view why);

  // Reads the backend's reply to its final line; a failure is returned in
  // `failure`, nothing is aborted.
  bool ReceiveBackendReply(SmtpReply& reply, std::string_view& failure);
  // The ...OrAbort steps return false after they have aborted the session.
  bool ReceiveReplyOrAbort(SmtpReply& reply);
  bool SendToBackendOrAbort(std::string_view text);
  bool SendToClientOrAbort(std::string_view text);
  // Every line of `reply`, in order, in one send to the client.
  bool SendReplyOrAbort(const SmtpReply& reply);
  // Receives the backend's reply, hands it to the client (EHLO answers
  // without the withheld extensions) and logs its final line.
  bool RelayReplyOrAbort(bool withhold_extensions, SmtpReply& reply);

  void Abort(std::string_view failure);
  // A failed read of the client: a deadline ends the session with its own
  // reply and line, anything else as Abort does.
  void AbortClientRead();
  void EndAtDeadline(std::string_view why);
  void CloseBoth();
  void Log(std::string_view text);
  void LogRow(std::string_view decision);

  Connection client_;                 // owned; time-out taken from the listener
  Connection backend_;                // opened here
  const GatewaySettings& settings_;   // published record, read only
  const SessionTiming& timing_;
  const TlsServerContext* tls_;       // null: no STARTTLS
  const bool logging_;                // transcript switch (Logging exactly 1)
  ConnectionLog log_;                 // empty handle without a transcript
  std::string client_ip_;             // "" when unknown
  bool relay_allowed_ = false;        // fixed at the start
  SessionState state_ = SessionState::Command;
  std::string line_;                  // the client's current command line
  SmtpCommand command_;               // line_ as parsed; views into line_
  int error_replies_ = 0;             // AnswerError replies so far
  std::string last_reply_;            // final line of the latest backend reply
  SessionSummary summary_;            // for the session's line in the system log
  Connection::Clock::time_point session_deadline_;  // the whole session ends by then
  Connection::Clock::time_point data_deadline_;     // the current mail data must be in by then
};

}  // namespace brenvik
