#pragma once
// The gateway's settings, loaded once and published whole.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "store/sql.h"

namespace brenvik {

// Names of the values under kSettingsKey, shared by the gateway, the tool
// and the package's first-start file.
namespace setting {
inline constexpr std::string_view RecvPort = "RecvPort";
inline constexpr std::string_view RecvHost = "RecvHost";
inline constexpr std::string_view SendPort = "SendPort";
inline constexpr std::string_view SendHost = "SendHost";
inline constexpr std::string_view Logging = "Logging";
inline constexpr std::string_view WorkDir = "WorkDir";
inline constexpr std::string_view GarbageCollector = "GarbageCollector";
inline constexpr std::string_view CheckBadMailAdr = "CheckBadMailAdr";
inline constexpr std::string_view StatusMail = "StatusMail";
inline constexpr std::string_view LogDB = "LogDB";
inline constexpr std::string_view AcceptPause = "AcceptPause";
inline constexpr std::string_view DataPause = "DataPause";
inline constexpr std::string_view MaxSessions = "MaxSessions";
inline constexpr std::string_view MaxSessionsPerClient = "MaxSessionsPerClient";
inline constexpr std::string_view TlsCertificate = "TlsCertificate";
inline constexpr std::string_view TlsKey = "TlsKey";
inline constexpr std::string_view DatabaseServer = "DatabaseServer";
inline constexpr std::string_view DatabaseTimeout = "DatabaseTimeout";
inline constexpr std::string_view BlocklistDnsServer = "BlocklistDnsServer";
}  // namespace setting

// Where systemd puts the credentials of LoadCredential=; a credential named
// TlsCertificate or TlsKey is read instead of that setting's path.
inline constexpr const char* kCredentialsFolderVariable = "CREDENTIALS_DIRECTORY";
// What the unit's SetCredential= gives a credential whose file systemd could
// not read (which would otherwise keep the service from starting): the
// setting's path is then read, and its failure reported as without systemd.
inline constexpr std::string_view kCredentialFallback = "not-loaded";

// Pacing in milliseconds when AcceptPause or DataPause is missing, empty or
// no number; larger values are cut to kMaxPauseMs.
inline constexpr std::int32_t kDefaultPauseMs = 500;
inline constexpr std::int32_t kMaxPauseMs = 60000;
// DatabaseTimeout missing, empty, no number or 0 is the SQL layer's default
// deadline (kDefaultStatementTimeoutMs); larger values are cut to this.
inline constexpr std::int32_t kMaxDatabaseTimeoutMs = 60000;

// Session limits when MaxSessions or MaxSessionsPerClient is missing, empty,
// no number or 0; larger values are cut to kMaxSessionsCeiling.
inline constexpr std::int32_t kDefaultMaxSessions = 1000;
inline constexpr std::int32_t kDefaultMaxSessionsPerClient = 10;
inline constexpr std::int32_t kMaxSessionsCeiling = 100000;

struct GatewaySettings {
  std::int32_t RecvPort = 25;              // listening port; 0/missing -> 25
  std::string RecvHost = "localhost";      // listening address or name
  std::int32_t SendPort = 25;              // backend port; 0/missing -> 25
  std::string SendHost = "localhost";      // backend host
  std::int32_t Logging = 0;                // transcripts only at exactly 1
  std::string WorkDir = "/";               // stored value + "/" (unconditionally)
  std::int32_t GarbageCollector = 0;       // purge and report only at exactly 1
  std::int32_t CheckBadMailAdr = 0;        // blocklist check when non-zero
  std::string StatusMail;                  // report recipient; empty = no report
  std::int32_t LogDB = 0;                  // LogTable rows only at exactly 1
  std::int32_t AcceptPause = kDefaultPauseMs;  // ms after each accepted connection
  std::int32_t DataPause = kDefaultPauseMs;    // ms after each data read
  std::int32_t MaxSessions = kDefaultMaxSessions;  // sessions at once, all clients
  std::int32_t MaxSessionsPerClient = kDefaultMaxSessionsPerClient;  // sessions at once per address
  std::string TlsCertificate;              // PEM chain path (credential first); STARTTLS needs both
  std::string TlsKey;                      // PEM private key path (credential first)
  std::string DatabaseServer;              // libpq connection string; empty = spam.mdb
  std::int32_t DatabaseTimeout = kDefaultStatementTimeoutMs;  // ms a server statement may take
  std::string BlocklistDnsServer;          // "address[:port]" for blocklist queries; empty = resolv.conf
};

// Leading decimal number after blanks, tabs and line feeds; 0 when there is
// none. Saturates at the int32 range instead of overflowing.
std::int32_t ParseLeadingNumber(std::string_view text);

// Reads the ten values in their fixed order, then the two TLS paths (a
// credential of the same name in $CREDENTIALS_DIRECTORY first), applies
// the four defaults, then reads the two pacing values, the two session
// limits, the database server and the blocklist's DNS server.
GatewaySettings LoadGatewaySettings();

// Process-wide settings record: null until published, then immutable.
void PublishSettings(std::shared_ptr<const GatewaySettings> settings);
std::shared_ptr<const GatewaySettings> CurrentSettings();

}  // namespace brenvik
