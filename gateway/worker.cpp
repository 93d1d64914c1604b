#include "gateway/worker.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "gateway/connection.h"
#include "gateway/gateway_state.h"
#include "gateway/relay_session.h"
#include "maintenance/event_log.h"
#include "store/database.h"
#include "store/settings.h"
#include "store/sql.h"

namespace brenvik {

namespace {

constexpr const char* kDatabaseFile = "spam.mdb";
constexpr const char* kSelectDomains = "SELECT * FROM SpamSystem WHERE Typ = 1;";
constexpr const char* kSelectRelays = "SELECT * FROM SpamSystem WHERE Typ = 2;";
constexpr const char* kListColumn = "what";
constexpr int kStatementMode = 3;

constexpr const char* kNoDatabase =
    "FEHLER: Datenbankverbindung konnte nicht erstellt werden. Start abgebrochen / no database connection";
constexpr const char* kTooManyDomains = "FEHLER: Zu viele Mail Domains, maximal 100";
constexpr const char* kTooManyRelays = "FEHLER: Zu viele Relay IP Adressen, maximal 100";
constexpr const char* kNetworkBroken =
    "FEHLER: Netzwerkverbindung unterbrochen. Network connection broken, Fehlerbeschreibung / Error: ";

constexpr const char* kRelayToItself =
    "FEHLER: Weiterleitungsserver ist dieses Gateway selbst, Start abgebrochen / "
    "the mail server to relay to is this gateway's own listener: ";  // + host:port

constexpr int kPauseStepMs = 20;  // stop checks while pausing

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

// The session owns the connection; if no thread can be made, the lambda
// that holds it is destroyed and the connection closed.
void StartSession(Connection client, std::shared_ptr<const GatewaySettings> settings) {
  try {
    std::thread([connection = std::move(client), settings = std::move(settings)]() mutable {
      RelaySession(std::move(connection), *settings);
    }).detach();
  } catch (...) {
  }
}

// Opens the listener; a receive port outside 1..65535 leaves it closed.
void OpenReceiveListener(const GatewaySettings& settings, int timeout_ms, Connection& listener) {
  if (settings.RecvPort < 1 || settings.RecvPort > 65535) return;
  OpenListener(ResolveHost(settings.RecvHost), static_cast<std::uint16_t>(settings.RecvPort), timeout_ms,
               listener);
}

// A backend at the gateway's own address and port would make every session
// open another one, without end.
bool RelaysToItself(const GatewaySettings& settings) {
  if (settings.SendPort != settings.RecvPort) return false;
  const std::uint32_t backend = ResolveHost(settings.SendHost);
  return backend != 0 && backend == ResolveHost(settings.RecvHost);
}

void AcceptLoop(Connection& listener, const std::shared_ptr<const GatewaySettings>& settings,
                const WorkerTiming& timing) {
  do {
    Connection client;
    if (!AcceptConnection(listener, client)) {
      ReportError(std::string(kNetworkBroken) + std::string(listener.FailureText()));
      listener.ClearFailure();
      PauseUnlessStopped(timing.failed_accept_pause_ms);
    } else {
      StartSession(std::move(client), settings);
      PauseUnlessStopped(timing.accept_pause_ms);
    }
  } while (StopRequested.load() == 0);
}

void RunWorker(const WorkerTiming& timing) {
  StartMaintenance(timing);
  auto settings = std::make_shared<const GatewaySettings>(LoadGatewaySettings());
  PublishSettings(settings);
  if (!OpenDatabase(settings->WorkDir, kDatabaseFile)) {
    ReportError(kNoDatabase);
    SQL_CloseDB();
    return;
  }
  if (!LoadGatewayList(kSelectDomains, true, AcceptedDomains)) return ReportError(kTooManyDomains);
  if (!LoadGatewayList(kSelectRelays, false, RelayAddresses)) return ReportError(kTooManyRelays);
  if (RelaysToItself(*settings)) {
    return ReportError(std::string(kRelayToItself) + settings->SendHost + ":" + std::to_string(settings->SendPort));
  }
  Connection listener;
  OpenReceiveListener(*settings, timing.listener_timeout_ms, listener);
  AcceptLoop(listener, settings, timing);
  SQL_Shutdown();
}

}  // namespace

bool LoadGatewayList(const char* statement, bool upper_case, std::vector<std::string>& list) {
  list.clear();
  SQL_Stmt(kStatementMode, statement);
  for (SQL_Fetch(0); SQL_Eod() == 0; SQL_Fetch(0)) {
    if (list.size() >= kMaxListEntries) return false;
    std::string value = SQL_ResColText(SQL_ResColNumber(kListColumn));
    list.push_back(upper_case ? UpperCase(value) : std::move(value));
  }
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
