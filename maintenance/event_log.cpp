// Service events: registration in the registry file, then one record in the
// journal (or syslog), plus a copy on standard error when that is not the
// journal.
#include "maintenance/event_log.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include "maintenance/maintenance_texts.h"
#include "store/files.h"
#include "store/registry.h"

namespace brenvik {
namespace {

constexpr std::size_t kMaxInsertionBytes = 259;

struct MessageEntry {
  std::uint32_t id;
  std::string_view text;
};

constexpr MessageEntry kMessageTable[] = {
    {kEventIdSuccess, texts::kMessageSuccess},
    {kEventIdWarning, texts::kMessageWarning},
    {kEventIdError, texts::kMessageError},
};

std::mutex g_observer_mutex;
std::shared_ptr<const EventObserver> g_observer;  // guarded by g_observer_mutex

// The caller's text as the record carries it: up to the first NUL, at most
// 259 bytes.
std::string_view InsertionString(std::string_view text) {
  std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  return text.substr(0, std::min(text.size(), kMaxInsertionBytes));
}

// One event is one line in every sink: the message table's trailing line
// end is dropped and inner line breaks become blanks.
std::string LoggedLine(std::string rendered) {
  while (!rendered.empty() && (rendered.back() == '\n' || rendered.back() == '\r')) {
    rendered.pop_back();
  }
  for (char& c : rendered) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return rendered;
}

int PriorityOf(int event_type) {
  switch (event_type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_INFORMATION_TYPE: return LOG_INFO;
    default: return LOG_WARNING;
  }
}

// JOURNAL_STREAM holds "device:inode" of the journal stream systemd gave us.
bool StderrIsJournal() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr || *value == '\0') return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(value, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

// The journal when it is there; syslog otherwise.
void WriteToSystemLog(std::uint32_t event_id, int priority, const std::string& line) {
  std::string message = "MESSAGE=" + line;
  std::string prio = "PRIORITY=" + std::to_string(priority);
  std::string ident = "SYSLOG_IDENTIFIER=" + std::string(texts::kEventSourceName);
  char id_field[40];
  std::snprintf(id_field, sizeof id_field, "BRENVIK_EVENT_ID=0x%08X", static_cast<unsigned>(event_id));
  struct iovec fields[] = {
      {message.data(), message.size()},
      {prio.data(), prio.size()},
      {ident.data(), ident.size()},
      {id_field, std::strlen(id_field)},
  };
  // libsystemd opens its journal socket lazily and without a lock; events
  // are rare, so one at a time costs nothing.
  static std::mutex journal_mutex;
  std::lock_guard<std::mutex> lock(journal_mutex);
  if (sd_journal_sendv(fields, 4) >= 0) return;
  WriteSyslogLine(priority, line);
}

// One write, so lines of concurrent reports never interleave.
void WriteToStderr(const std::string& line) { WriteAll(STDERR_FILENO, line + "\n"); }

}  // namespace

std::string RenderEventMessage(std::uint32_t event_id, std::string_view insertion) {
  for (const MessageEntry& entry : kMessageTable) {
    if (entry.id != event_id) continue;
    std::string out;
    std::string_view text = entry.text;
    std::size_t pos = text.find("%1");
    out.append(text.substr(0, pos));
    if (pos != std::string_view::npos) {
      out.append(insertion);
      out.append(text.substr(pos + 2));
    }
    return out;
  }
  return "";
}

void RegisterServiceEventSource(std::string_view source_name) {
  std::string key(texts::kEventSourceKeyPrefix);
  key.append(source_name);
  // Failures (no rights) are ignored: the report is attempted anyway.
  SETREGVALUE(HKEY_LOCAL_MACHINE, key, texts::kEventMessageFileValue, OwnExecutablePath());
  SETREGDWORD(HKEY_LOCAL_MACHINE, key, texts::kTypesSupportedValue, texts::kTypesSupported);
}

void ReportServiceEvent(std::string_view text, int event_type, int error_flag) {
  RegisterServiceEventSource(texts::kEventSourceName);
  std::uint32_t event_id = error_flag != 0 ? kEventIdError : kEventIdSuccess;
  std::string line = LoggedLine(RenderEventMessage(event_id, InsertionString(text)));

  WriteToSystemLog(event_id, PriorityOf(event_type), line);
  if (!StderrIsJournal()) WriteToStderr(line);

  std::shared_ptr<const EventObserver> observer;
  {
    std::lock_guard<std::mutex> lock(g_observer_mutex);
    observer = g_observer;
  }
  if (observer && *observer) (*observer)(event_id, event_type, line);
}

void SetEventObserver(EventObserver observer) {
  std::shared_ptr<const EventObserver> next;
  if (observer) next = std::make_shared<const EventObserver>(std::move(observer));
  std::lock_guard<std::mutex> lock(g_observer_mutex);
  g_observer = std::move(next);
}

void WriteSyslogLine(int priority, const std::string& line) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog(texts::kEventSourceName.data(), LOG_PID, LOG_DAEMON); });
  syslog(priority, "%s", line.c_str());
}

}  // namespace brenvik
