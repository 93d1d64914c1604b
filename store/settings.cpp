// The gateway's settings record: read once, defaults applied, published whole.
#include "store/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "store/registry.h"

namespace brenvik {
namespace {


constexpr std::int32_t kDefaultPort = 25;
constexpr std::string_view kDefaultHost = "localhost";

// Read access is enough: the service's own user may not write the file.
std::string Read(std::string_view name) { return ReadRegistryValue(HKEY_LOCAL_MACHINE, kSettingsKey, name); }

// True when the file holds exactly the fallback text of the unit.
bool IsCredentialFallback(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[kCredentialFallback.size() + 1];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  return n == static_cast<ssize_t>(kCredentialFallback.size()) &&
         std::string_view(buffer, kCredentialFallback.size()) == kCredentialFallback;
}

// A TLS file handed over by the service manager (LoadCredential=, named like
// the setting) wins over the setting's path, which its user may not read.
std::string TlsFile(std::string_view name) {
  const char* folder = std::getenv(kCredentialsFolderVariable);
  if (folder != nullptr && *folder == '/') {
    std::string path = std::string(folder) + "/" + std::string(name);
    if (access(path.c_str(), F_OK) == 0 && !IsCredentialFallback(path)) return path;
  }
  return Read(name);
}

std::int32_t ReadNumber(std::string_view name) { return ParseLeadingNumber(Read(name)); }

// A number of milliseconds: `fallback` unless the value starts with a
// number (0 allowed), at most `most`.
std::int32_t ReadMilliseconds(std::string_view name, std::int32_t fallback, std::int32_t most) {
  const std::string text = Read(name);
  const std::size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos || text[first] < '0' || text[first] > '9') return fallback;
  return std::min(ParseLeadingNumber(text), most);
}

std::int32_t ReadPause(std::string_view name) { return ReadMilliseconds(name, kDefaultPauseMs, kMaxPauseMs); }

// A session limit: `fallback` unless the value starts with a number above 0.
std::int32_t ReadLimit(std::string_view name, std::int32_t fallback) {
  const std::int32_t n = ReadNumber(name);
  return n < 1 ? fallback : std::min(n, kMaxSessionsCeiling);
}

// Leaked on purpose: session threads may still read after main returns.
std::mutex& PublishMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::shared_ptr<const GatewaySettings>& Published() {
  static auto* p = new std::shared_ptr<const GatewaySettings>;
  return *p;
}

}  // namespace

std::int32_t ParseLeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  std::int64_t n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    n = n * 10 + (text[i] - '0');
    if (n > kMax) n = kMax;
  }
  return static_cast<std::int32_t>(n);
}

GatewaySettings LoadGatewaySettings() {
  // Read in this order, one value after the other.
  GatewaySettings s;
  s.RecvPort = ReadNumber(setting::RecvPort);
  s.RecvHost = Read(setting::RecvHost);
  s.SendPort = ReadNumber(setting::SendPort);
  s.SendHost = Read(setting::SendHost);
  s.Logging = ReadNumber(setting::Logging);
  s.WorkDir = Read(setting::WorkDir) + "/";  // appended without looking at the value
  s.GarbageCollector = ReadNumber(setting::GarbageCollector);
  s.CheckBadMailAdr = ReadNumber(setting::CheckBadMailAdr);
  s.StatusMail = Read(setting::StatusMail);
  s.LogDB = ReadNumber(setting::LogDB);
  s.TlsCertificate = TlsFile(setting::TlsCertificate);
  s.TlsKey = TlsFile(setting::TlsKey);

  if (s.RecvPort == 0) s.RecvPort = kDefaultPort;
  if (s.RecvHost.empty()) s.RecvHost = kDefaultHost;
  if (s.SendPort == 0) s.SendPort = kDefaultPort;
  if (s.SendHost.empty()) s.SendHost = kDefaultHost;
  s.AcceptPause = ReadPause(setting::AcceptPause);
  s.DataPause = ReadPause(setting::DataPause);
  s.MaxSessions = ReadLimit(setting::MaxSessions, kDefaultMaxSessions);
  s.MaxSessionsPerClient = ReadLimit(setting::MaxSessionsPerClient, kDefaultMaxSessionsPerClient);
  s.DatabaseServer = Read(setting::DatabaseServer);
  s.DatabaseTimeout = ReadMilliseconds(setting::DatabaseTimeout, kDefaultStatementTimeoutMs, kMaxDatabaseTimeoutMs);
  if (s.DatabaseTimeout == 0) s.DatabaseTimeout = kDefaultStatementTimeoutMs;  // no deadline is no choice
  s.BlocklistDnsServer = Read(setting::BlocklistDnsServer);
  return s;
}

void PublishSettings(std::shared_ptr<const GatewaySettings> settings) {
  std::lock_guard<std::mutex> lock(PublishMutex());
  Published() = std::move(settings);
}

std::shared_ptr<const GatewaySettings> CurrentSettings() {
  std::lock_guard<std::mutex> lock(PublishMutex());
  return Published();
}

}  // namespace brenvik
