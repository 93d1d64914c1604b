#include "maintenance/session_log.h"

#include <sys/uio.h>
#include <syslog.h>


#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include "maintenance/event_log.h"
#include "maintenance/maintenance_texts.h"

namespace brenvik {
namespace {

constexpr std::size_t kMaxValueBytes = 512;  // per recorded text

// Client texts go into one log line: no line breaks, bounded.
std::string Clean(std::string_view text) {
  std::string out(text.substr(0, kMaxValueBytes));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out.append(out.empty() ? "" : ", ").append(item);
  return out.empty() ? "none" : out;
}

long long DurationMs(const SessionSummary& s) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - s.start).count();
}

void AddField(std::vector<std::string>& fields, std::string_view name, std::string_view value) {
  fields.push_back(std::string(name).append("=").append(value));
}

std::vector<std::string> Fields(const SessionSummary& s, const std::string& line) {
  std::vector<std::string> f;
  AddField(f, "MESSAGE", line);
  AddField(f, "PRIORITY", std::to_string(LOG_INFO));
  AddField(f, "SYSLOG_IDENTIFIER", texts::kEventSourceName);
  AddField(f, "BRENVIK_CLIENT", s.client);
  AddField(f, "BRENVIK_HELO", s.helo);
  for (const SessionSummary::Sender& sender : s.senders) {
    AddField(f, "BRENVIK_SENDER", sender.key);
    AddField(f, "BRENVIK_DECISION", sender.decision);
  }
  for (const std::string& r : s.accepted) AddField(f, "BRENVIK_RCPT_ACCEPTED", r);
  for (const std::string& r : s.refused) AddField(f, "BRENVIK_RCPT_REFUSED", r);
  AddField(f, "BRENVIK_DATA_BYTES", std::to_string(s.data_bytes));
  AddField(f, "BRENVIK_DATA_REPLY", s.data_reply);
  AddField(f, "BRENVIK_END", s.end);
  AddField(f, "BRENVIK_DURATION_MS", std::to_string(DurationMs(s)));
  AddField(f, "BRENVIK_TLS", s.tls ? "yes" : "no");
  return f;
}

}  // namespace

void SessionSummary::AddSender(std::string_view key, std::string_view decision) {
  if (senders.size() >= kMaxListed) return static_cast<void>(++unlisted);
  senders.push_back({Clean(key), std::string(decision)});
}

void SessionSummary::AddRecipient(std::string_view path, bool was_accepted) {
  std::vector<std::string>& list = was_accepted ? accepted : refused;
  if (list.size() >= kMaxListed) return static_cast<void>(++unlisted);
  list.push_back(Clean(path));
}

std::string SessionLine(const SessionSummary& s) {
  std::string line = "session from " + (s.client.empty() ? std::string("?") : s.client);
  line.append(" helo ").append(s.helo.empty() ? "none" : Clean(s.helo)).append(": senders ");
  std::string senders;
  for (const SessionSummary::Sender& sender : s.senders) {
    senders.append(senders.empty() ? "" : ", ").append("<").append(sender.key).append("> ").append(sender.decision);
  }
  line.append(senders.empty() ? "none" : senders);
  line.append("; recipients accepted ").append(Joined(s.accepted)).append(", refused ").append(Joined(s.refused));
  if (s.unlisted > 0) line.append(" (").append(std::to_string(s.unlisted)).append(" more not listed)");
  line.append("; data ").append(std::to_string(s.data_bytes)).append(" bytes");
  if (!s.data_reply.empty()) line.append(" \"").append(Clean(s.data_reply)).append("\"");
  line.append("; ended ").append(s.end.empty() ? "?" : s.end);
  line.append(" after ").append(std::to_string(DurationMs(s))).append(" ms; TLS ").append(s.tls ? "yes" : "no");
  return line;
}

namespace {
// One journal call with the fields (MESSAGE first); syslog without them.
void Send(std::vector<std::string>& fields, const std::string& line) {
  std::vector<iovec> vector;
  vector.reserve(fields.size());
  for (std::string& field : fields) vector.push_back({field.data(), field.size()});
  if (sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) >= 0) return;
  WriteSyslogLine(LOG_INFO, line);
}
}  // namespace

void WriteSessionLine(const SessionSummary& summary) {
  const std::string line = SessionLine(summary);
  std::vector<std::string> fields = Fields(summary, line);
  Send(fields, line);
}

void WriteSystemLogInfo(std::string_view text) {
  const std::string line = Clean(text);
  std::vector<std::string> fields;
  AddField(fields, "MESSAGE", line);
  AddField(fields, "PRIORITY", std::to_string(LOG_INFO));
  AddField(fields, "SYSLOG_IDENTIFIER", texts::kEventSourceName);
  Send(fields, line);
}

}  // namespace brenvik
