#pragma once
// The relay session's per-connection state and steps (used by the
// relay_session_*.cpp files only).
#include <string>
#include <string_view>

#include "gateway/connection.h"
#include "gateway/relay_session.h"
#include "gateway/smtp_reply.h"
#include "maintenance/mail_log.h"
#include "store/settings.h"

namespace brenvik {

enum class SessionState { Command, Data, Ended };

// True when the peer has closed its side and nothing of it is left unread.
bool PeerClosed(const Connection& c);

class SmtpRelay {
 public:
  SmtpRelay(Connection client, const GatewaySettings& settings, const SessionTiming& timing);
  ~SmtpRelay();  // closes both connections and the transcript
  SmtpRelay(const SmtpRelay&) = delete;
  SmtpRelay& operator=(const SmtpRelay&) = delete;

  void Run();

 private:
  using Handler = void (SmtpRelay::*)();
  struct Verb {
    std::string_view word;  // first four characters, upper case
    Handler handle;
  };
  static const Verb kVerbs[];

  bool ConnectBackend();
  void RefuseClient(std::string_view failure);
  void HandleCommand();
  void OnMail();
  void OnRcpt();
  void OnData();
  void OnQuit();
  void OnEhlo();
  void Forward();
  void DataPhase();
  bool ReadDataBlock(std::string& block);

  // Each returns false after it has aborted the session.
  bool SendToBackend(std::string_view text);
  bool SendToClient(std::string_view text);
  bool TakeAnswer(SmtpReply& reply);
  bool HandBack(const SmtpReply& reply);
  bool RelayAnswer(SmtpReply& reply, bool withhold_extensions);

  bool ReadBackendReply(SmtpReply& reply, std::string_view& failure);
  void Abort(std::string_view failure);
  void CloseBoth();
  void Log(std::string_view text);
  void LogRow(std::string_view decision);

  Connection client_;                 // owned; time-out taken from the listener
  Connection backend_;                // opened here
  const GatewaySettings& settings_;   // published record, read only
  const SessionTiming& timing_;
  const bool logging_;                // transcript switch (Logging exactly 1)
  ConnectionLog log_;                 // empty handle without a transcript
  std::string client_ip_;             // "" when unknown
  bool relay_allowed_ = false;        // fixed at the start
  SessionState state_ = SessionState::Command;
  std::string line_;                  // the client's current command
};

}  // namespace brenvik
