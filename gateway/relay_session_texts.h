#pragma once
// Every text the relay session sends or writes on its own.
#include <array>
#include <string_view>

namespace brenvik::relay_text {

inline constexpr std::string_view kLineEnd = "\r\n";

// Replies of the gateway itself (each sent with one line end).
inline constexpr std::string_view kTryLater = "451 Try later...";
inline constexpr std::string_view kRelayingProhibited = "550 Relaying is prohibited";
// Answers to lines that are not relayed (the session goes on).
inline constexpr std::string_view kNotRecognized = "500 5.5.2 Syntax error, command unrecognized";
inline constexpr std::string_view kLineTooLong = "500 5.5.2 Line too long";
inline constexpr std::string_view kNotImplemented = "502 5.5.1 Command not implemented";
inline constexpr std::string_view kBadSenderSyntax = "501 5.1.7 Bad sender address syntax";
// VRFY is answered here, never passed on (RFC 5321 3.5.3): no user list leaks.
inline constexpr std::string_view kCannotVerify =
    "252 2.1.5 Cannot VRFY user, but will accept message and attempt delivery";
// STARTTLS, when the gateway has a certificate.
inline constexpr std::string_view kReadyToStartTls = "220 2.0.0 Ready to start TLS";
inline constexpr std::string_view kTlsAlreadyActive = "503 5.5.1 TLS already active";
inline constexpr std::string_view kStartTlsParameters = "501 5.5.4 STARTTLS takes no parameters";
inline constexpr std::string_view kStartTlsExtension = "STARTTLS";  // added to EHLO answers
// After kMaxErrorReplies of those (deferred senders counted with them) the
// session ends with this.
inline constexpr std::string_view kTooManyErrors = "421 4.7.0 Too many errors";
inline constexpr int kMaxErrorReplies = 20;
// Answers of the listener to a session over its limits (then closed).
inline constexpr std::string_view kTooManyFromAddress = "421 4.7.0 Too many connections from your address";
inline constexpr std::string_view kServiceBusy = "421 4.3.2 Service busy, try again later";
// Sent before the session is ended by one of its deadlines.
inline constexpr std::string_view kDeadlineReply = "421 4.4.2 Timeout, closing connection";
// Followed directly by the connection failure description.
inline constexpr std::string_view kBackendFailure = "421 Error Mailserver";

// Transcript remarks.
inline constexpr std::string_view kBackendOpenFailed = "Fehler beim OPEN Weiterleitungsserver";
inline constexpr std::string_view kBackendGreetingFailed =
    "Fehler beim ersten Kommando an den Weiterleitungsserver";
inline constexpr std::string_view kAbort = "ABBRUCH ";  // + failure description
inline constexpr std::string_view kTlsStarted = "TLS ";   // + protocol and cipher

// How a session ended and how its senders were decided, for its line in
// the system log (failures are named by their failure texts).
inline constexpr std::string_view kEndQuit = "QUIT";
inline constexpr std::string_view kEndRefusedRecipient = "refused recipient";
inline constexpr std::string_view kEndTooManyErrors = "too many errors";
inline constexpr std::string_view kEndBackend = "mail server: ";  // + failure description
// Why a deadline ended a session (transcript after kAbort, and its line).
inline constexpr std::string_view kEndLineDeadline =
    "Device timeout: command line not complete within the client time-out";
inline constexpr std::string_view kEndDataRate = "Device timeout: mail data slower than the minimum rate";
inline constexpr std::string_view kEndSessionLimit = "Device timeout: session longer than its upper bound";
inline constexpr std::string_view kEndClientFull = "too many connections from the address";
inline constexpr std::string_view kEndServiceBusy = "service busy";
inline constexpr std::string_view kDecisionRelayAllowed = "relay-allowed";

// LogTable decisions.
inline constexpr std::string_view kRowDeferred = "Try Later";
inline constexpr std::string_view kRowAccepted = "OK";

// Error event; the errno number follows directly.
inline constexpr std::string_view kPeerNameFailed = "Fehler: getpeername() failed";

// Sent to the backend after the handshake: what the client set up in clear
// text does not carry over into the TLS session.
inline constexpr std::string_view kBackendReset = "RSET";

// The backend's go-ahead for the mail data.
inline constexpr std::string_view kStartMailInput = "354";

// EHLO extensions a line relay cannot carry, that would hand the gateway's
// trust to the client, or whose verbs the gateway does not pass on;
// withheld from the client.
inline constexpr std::array<std::string_view, 10> kWithheldExtensions = {
    "PIPELINING", "CHUNKING", "BINARYMIME", "STARTTLS", "XCLIENT",
    "XFORWARD",   "AUTH",     "ETRN",       "ATRN",     "EXPN"};

}  // namespace brenvik::relay_text
