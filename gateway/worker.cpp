#include "gateway/worker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <memory>
#include <thread>

#include "gateway/blocklist.h"
#include "gateway/connection.h"
#include "gateway/domain_name.h"
#include "gateway/gateway_state.h"
#include "gateway/relay_session.h"
#include "gateway/relay_session_texts.h"
#include "gateway/session_limits.h"
#include "maintenance/event_log.h"
#include "maintenance/session_log.h"
#include "store/database.h"
#include "store/settings.h"
#include "store/sql.h"

namespace brenvik {

namespace {

constexpr const char* kDatabaseFile = "spam.mdb";
constexpr const char* kListColumn = "what";
constexpr int kStatementMode = 3;

constexpr const char* kNoDatabase =
    "FEHLER: Datenbankverbindung konnte nicht erstellt werden. Start abgebrochen / no database connection";
constexpr const char* kServerUnreachable =
    "FEHLER: Datenbankserver nicht erreichbar / database server unreachable";
constexpr const char* kServerBack = "Datenbankserver wieder erreichbar / database server reachable again";
constexpr const char* kServerNotAnswering =
    "FEHLER: Datenbankserver antwortet nicht / database server not answering: ";  // + host:port
constexpr const char* kServerAnswers = "Datenbankserver antwortet wieder / database server answering again: ";
constexpr const char* kServerFollowed =
    "Datenbankserver gewechselt / every database connection now goes to: ";  // + host:port
// Put before the listening text while the database server does not answer.
constexpr const char* kActivityNotAnswering = "database server not answering; ";
constexpr const char* kActivityUnreachable = "database server unreachable; ";
constexpr const char* kTooManyDomains = "FEHLER: Zu viele Mail Domains, maximal 100";
constexpr const char* kTooManyRelays = "FEHLER: Zu viele Relay IP Adressen, maximal 100";
// + table and type; one event per load of a list.
constexpr const char* kRowWithoutText =
    "FEHLER: Listeneintrag ohne Text ignoriert / list row without text ignored: SpamSystem Typ ";
// + the entry as stored.
constexpr const char* kNotADomain = "FEHLER: Mail Domain ignoriert / mail domain does not convert, ignored: ";
constexpr const char* kNetworkBroken =
    "FEHLER: Netzwerkverbindung unterbrochen. Network connection broken, Fehlerbeschreibung / Error: ";

constexpr const char* kDescriptorsShort =
    "FEHLER: Keine Dateideskriptoren frei, Annahme kurz angehalten / "
    "out of file descriptors, accepting again shortly: ";  // + system text
constexpr const char* kSessionsLowered = "Sitzungen begrenzt / sessions limited to ";
// + count + kSessionsLoweredWhy + MaxSessions + kSessionsLoweredLimit + descriptor limit
constexpr const char* kSessionsLoweredWhy = " instead of MaxSessions ";
constexpr const char* kSessionsLoweredLimit = ": open-file limit ";

constexpr const char* kRelayToItself =
    "FEHLER: Weiterleitungsserver ist dieses Gateway selbst, Start abgebrochen / "
    "the mail server to relay to is this gateway's own listener: ";  // + host:port

// What the worker is doing, for the service manager's status line.
constexpr const char* kActivityListening = "listening on ";   // + host:port
constexpr const char* kActivityRelaying = ", relaying to ";   // + host:port
constexpr const char* kActivityNotListening = "not listening: ";  // + reason
constexpr const char* kReasonNoDatabase = "no database connection";
constexpr const char* kReasonTooManyDomains = "too many mail domains";
constexpr const char* kReasonTooManyRelays = "too many relay addresses";
constexpr const char* kReasonRelayToItself = "relay to itself";
constexpr const char* kReasonPortRange = "receive port outside 1..65535";
constexpr const char* kReasonNoAddress = "receive address does not resolve";
constexpr const char* kListenerFailed = "listener on ";  // + host:port + ": " + system text
constexpr const char* kTlsNotLoaded =
    "FEHLER: TLS aus / TLS off, certificate not loaded: ";
constexpr const char* kTlsPathMissing = "TlsCertificate and TlsKey must both be set";

constexpr int kPauseStepMs = 20;  // stop checks while pausing
// Out of descriptors, the accept is tried again this soon: a session that
// ends frees one, and a waiting client is then greeted at once.
constexpr int kDescriptorShortagePauseMs = 50;

// Sleeps `ms`, ending early once a stop is requested.
void PauseUnlessStopped(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  while (StopRequested.load() == 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        until - now, std::chrono::milliseconds(kPauseStepMs)));
  }
}

// One event when statements find the server gone or silent, one when it is
// back; the status line says so meanwhile.
SqlConnectionObserver ServerObserver(std::function<void(const std::string&)> activity, std::string listening) {
  return [activity = std::move(activity), listening = std::move(listening)](SqlServerEvent event,
                                                                            const std::string& server) {
    std::string status = listening;
    switch (event) {
      case SqlServerEvent::Unreachable: ReportError(kServerUnreachable); status = kActivityUnreachable + listening; break;
      case SqlServerEvent::Reachable: ReportInfo(kServerBack); break;
      case SqlServerEvent::NotAnswering:
        ReportError(kServerNotAnswering + server);
        status = kActivityNotAnswering + listening;
        break;
      case SqlServerEvent::AnsweringAgain: ReportInfo(kServerAnswers + server); break;
      case SqlServerEvent::Followed: ReportInfo(kServerFollowed + server); return;
    }
    if (activity) activity(status);
  };
}

void StartMaintenance(const WorkerTiming& timing) {
  if (!timing.maintenance) return;
  try {
    std::thread([procedure = timing.maintenance] {
      try {
        MaintenanceContext context;
        context.stop = &StopRequested;
        procedure(context);
      } catch (...) {
      }
    }).detach();
  } catch (...) {
    // No thread to be had: the gateway still relays, without maintenance.
  }
}

// The session owns the connection and its place at the gate; if no thread
// can be made, the lambda that holds them is destroyed and both given back.
// A client's next session waits for its greeting time there, not here.
void StartSession(Connection client, SessionTicket ticket, SessionGate::Clock::time_point greet_at,
                  std::shared_ptr<const GatewaySettings> settings, std::shared_ptr<const TlsServerContext> tls) {
  try {
    std::thread([connection = std::move(client), ticket = std::move(ticket), greet_at,
                 settings = std::move(settings), tls = std::move(tls)]() mutable {
      std::this_thread::sleep_until(greet_at);
      SessionTiming timing;
      timing.data_pause_ms = settings->DataPause;
      timing.before_client_close = [&ticket] { ticket = SessionTicket(); };
      RelaySession(std::move(connection), *settings, timing, tls.get());
    }).detach();
  } catch (...) {
  }
}

// The listener's own answer to a session over a limit: one line, closed at
// once, no backend asked. A fresh socket takes one line without waiting.
void RefuseSession(Connection& client, const std::string& client_ip, Admission why) {
  const bool client_full = why == Admission::ClientFull;
  std::string reply(client_full ? relay_text::kTooManyFromAddress : relay_text::kServiceBusy);
  client.SetTimeoutMs(0);
  SendText(client, reply.append(relay_text::kLineEnd));
  CloseConnection(client);
  SessionSummary summary;
  summary.client = client_ip;
  summary.end = client_full ? relay_text::kEndClientFull : relay_text::kEndServiceBusy;
  WriteSessionLine(summary);
}

// The sessions the descriptors allow, the soft limit raised first; one
// information event when that is fewer than MaxSessions.
int EffectiveMaxSessions(const GatewaySettings& settings) {
  const long limit = RaiseDescriptorLimit();
  const int sessions = SessionsWithinDescriptors(settings.MaxSessions, limit, OpenDescriptors());
  if (sessions < settings.MaxSessions) {
    ReportInfo(std::string(kSessionsLowered) + std::to_string(sessions) + kSessionsLoweredWhy +
               std::to_string(settings.MaxSessions) + kSessionsLoweredLimit + std::to_string(limit));
  }
  return sessions;
}

bool IsDescriptorShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

std::string HostPort(const std::string& host, int port) { return host + ":" + std::to_string(port); }

// Opens the listener; on failure returns why in the system's own words (a
// receive port outside 1..65535 leaves it closed, which gives the accept
// failure events). A failed bind also gets a line of its own in the log.
std::string OpenReceiveListener(const GatewaySettings& settings, int timeout_ms, Connection& listener) {
  if (settings.RecvPort < 1 || settings.RecvPort > 65535) return kReasonPortRange;
  const std::uint32_t address = ResolveHost(settings.RecvHost);
  if (address == 0) return kReasonNoAddress;
  if (OpenListener(address, static_cast<std::uint16_t>(settings.RecvPort), timeout_ms, listener)) return {};
  std::string reason = listener.SystemError() != 0 ? std::strerror(listener.SystemError())
                                                   : std::string(listener.FailureText());
  WriteSystemLogInfo(std::string(kListenerFailed) + HostPort(settings.RecvHost, settings.RecvPort) + ": " + reason);
  return reason;
}

// A backend at the gateway's own address and port would make every session
// open another one, without end.
bool RelaysToItself(const GatewaySettings& settings) {
  if (settings.SendPort != settings.RecvPort) return false;
  const std::uint32_t backend = ResolveHost(settings.SendHost);
  return backend != 0 && backend == ResolveHost(settings.RecvHost);
}

// Both paths set: the context, or null and an error event naming the file
// and the reason (the gateway then serves without TLS). Neither set: null.
std::shared_ptr<const TlsServerContext> LoadTls(const GatewaySettings& settings) {
  if (settings.TlsCertificate.empty() && settings.TlsKey.empty()) return nullptr;
  std::string error = kTlsPathMissing;
  auto context = settings.TlsCertificate.empty() || settings.TlsKey.empty()
                     ? nullptr
                     : LoadTlsServerContext(settings.TlsCertificate, settings.TlsKey, error);
  if (!context) ReportError(std::string(kTlsNotLoaded) + error);
  return context;
}

void Report(const WorkerTiming& timing, const std::string& activity) {
  if (timing.activity) timing.activity(activity);
}

void NotListening(const WorkerTiming& timing, const std::string& reason) {
  Report(timing, kActivityNotListening + reason);
}

std::string Listening(const GatewaySettings& settings) {
  return kActivityListening + HostPort(settings.RecvHost, settings.RecvPort) + kActivityRelaying +
         HostPort(settings.SendHost, settings.SendPort);
}

// Admits or refuses one accepted client.
void TakeClient(Connection client, SessionGate& gate, const std::shared_ptr<const GatewaySettings>& settings,
                const std::shared_ptr<const TlsServerContext>& tls) {
  const std::string client_ip = GetPeerAddress(client.Socket());
  SessionTicket ticket;
  SessionGate::Clock::time_point greet_at;
  const Admission admission = gate.Admit(client_ip, IsRelayAllowed(client_ip, settings->RecvHost),
                                         SessionGate::Clock::now(), ticket, greet_at);
  if (admission != Admission::Admitted) return RefuseSession(client, client_ip, admission);
  StartSession(std::move(client), std::move(ticket), greet_at, settings, tls);
}

// Accepts at once, whoever waits. Running out of descriptors is one event
// per episode and a short wait, and the listener stays up.
void AcceptLoop(Connection& listener, const std::shared_ptr<const GatewaySettings>& settings,
                const std::shared_ptr<const TlsServerContext>& tls, const WorkerTiming& timing) {
  SessionLimits limits;
  limits.max_sessions = EffectiveMaxSessions(*settings);
  limits.max_per_client = settings->MaxSessionsPerClient;
  limits.pause_ms = settings->AcceptPause;
  const auto gate = std::make_shared<SessionGate>(limits);
  bool listening = listener.IsOpen();  // as last reported
  bool short_of_descriptors = false;   // in an episode, its event written
  do {
    Connection client;
    if (AcceptConnection(listener, client)) {
      if (!listening) Report(timing, Listening(*settings));
      listening = true;
      short_of_descriptors = false;
      TakeClient(std::move(client), *gate, settings, tls);
    } else if (IsDescriptorShortage(listener.SystemError())) {
      if (!short_of_descriptors) ReportError(std::string(kDescriptorsShort) + std::strerror(listener.SystemError()));
      short_of_descriptors = true;
      listener.ClearFailure();
      PauseUnlessStopped(kDescriptorShortagePauseMs);
    } else {
      ReportError(std::string(kNetworkBroken) + std::string(listener.FailureText()));
      if (listening && listener.SystemError() != 0) NotListening(timing, std::strerror(listener.SystemError()));
      listening = false;
      listener.ClearFailure();
      PauseUnlessStopped(timing.failed_accept_pause_ms);
    }
  } while (StopRequested.load() == 0);
}

void RunWorker(const WorkerTiming& timing) {
  StartMaintenance(timing);
  auto settings = std::make_shared<const GatewaySettings>(LoadGatewaySettings());
  PublishSettings(settings);
  SetSqlStatementTimeout(settings->DatabaseTimeout);
  if (!OpenDatabase(settings->WorkDir, kDatabaseFile, settings->DatabaseServer)) {
    ReportError(kNoDatabase);
    NotListening(timing, kReasonNoDatabase);
    SQL_CloseDB();
    return;
  }
  SetSqlConnectionObserver(ServerObserver(timing.activity, Listening(*settings)));
  if (!LoadGatewayList(GatewayList::Domains, AcceptedDomains)) {
    ReportError(kTooManyDomains);
    return NotListening(timing, kReasonTooManyDomains);
  }
  if (!LoadGatewayList(GatewayList::Relays, RelayAddresses)) {
    ReportError(kTooManyRelays);
    return NotListening(timing, kReasonTooManyRelays);
  }
  if (RelaysToItself(*settings)) {
    ReportError(std::string(kRelayToItself) + HostPort(settings->SendHost, settings->SendPort));
    return NotListening(timing, kReasonRelayToItself);
  }
  const auto tls = LoadTls(*settings);
  if (settings->CheckBadMailAdr != 0) {
    SetBlocklistDnsServer(settings->BlocklistDnsServer);
    StartBlocklistMonitor(&StopRequested);
  }
  Connection listener;
  const std::string failure = OpenReceiveListener(*settings, timing.listener_timeout_ms, listener);
  Report(timing, failure.empty() ? Listening(*settings) : kActivityNotListening + failure);
  AcceptLoop(listener, settings, tls, timing);
  SQL_Shutdown();
}

}  // namespace

bool LoadGatewayList(GatewayList which, std::vector<std::string>& list) {
  const bool domains = which == GatewayList::Domains;
  const int typ = domains ? 1 : 2;
  list.clear();
  SQL_Stmt(kStatementMode, "SELECT * FROM SpamSystem WHERE Typ = " + std::to_string(typ) + ";");
  bool without_text = false;
  std::size_t rows = 0;
  const int column = SQL_ResColNumber(kListColumn);
  for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) {
    if (++rows > kMaxListEntries) return false;
    // A NULL would read as "", the entry that accepts every recipient.
    if (!SQL_ResColIsText(column)) {
      without_text = true;
      continue;
    }
    std::string value = SQL_ResColText(column);
    if (!domains) {
      list.push_back(std::move(value));
    } else if (auto key = DomainEntryKey(value)) {
      list.push_back(std::move(*key));
    } else {
      ReportError(kNotADomain + value);
    }
  }
  if (without_text) ReportError(kRowWithoutText + std::to_string(typ));
  return true;
}

void GatewayWorker(std::uint32_t unused) { GatewayWorker(unused, WorkerTiming{}); }

void GatewayWorker(std::uint32_t /*unused*/, const WorkerTiming& timing) {
  try {
    RunWorker(timing);
  } catch (...) {
    // Exhaustion only; nothing may leave the thread.
  }
}

}  // namespace brenvik
