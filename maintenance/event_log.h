#pragma once
// Service events: the system log (identifier "Brenvik"), and standard error
// when that is not the journal.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brenvik {

inline constexpr int EVENTLOG_ERROR_TYPE = 1;
inline constexpr int EVENTLOG_INFORMATION_TYPE = 4;

inline constexpr std::uint32_t kEventIdSuccess = 0x0FFF0003;
inline constexpr std::uint32_t kEventIdWarning = 0x8FFF0002;
inline constexpr std::uint32_t kEventIdError = 0xCFFF0001;

// The message table: the rendering of an identifier with its one insertion
// string ("Ein Fehler ist aufgetreten: " + text, "Erfolgsmeldung: " + text
// + CR LF, ...). "" for an unknown identifier.
std::string RenderEventMessage(std::uint32_t event_id, std::string_view insertion);

// Writes the registration values (EventMessageFile, TypesSupported) under
// SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>.
void RegisterServiceEventSource(std::string_view source_name);

// Registers the source, then reports one event. The text is cut to 259
// bytes and at an embedded NUL. error_flag non-zero selects kEventIdError.
// Priority follows event_type (1 error, 4 info). Goes to the journal
// (field BRENVIK_EVENT_ID) or syslog, and to standard error unless that is
// the journal stream. Safe from any number of threads.
void ReportServiceEvent(std::string_view text, int event_type, int error_flag);

// Observes every reported event (tests); empty function removes it.
// `rendered` is the line as logged: the message table's rendering without
// its trailing line end, inner CR/LF turned into blanks. Called on the
// reporting thread, after the system log and standard error.
using EventObserver = std::function<void(std::uint32_t event_id, int event_type, const std::string& rendered)>;
void SetEventObserver(EventObserver observer);

// One line to syslog as "Brenvik", for when the journal is not there.
void WriteSyslogLine(int priority, const std::string& line);

// Shorthands for the two kinds every caller uses.
inline void ReportError(std::string_view text) { ReportServiceEvent(text, EVENTLOG_ERROR_TYPE, 1); }
inline void ReportInfo(std::string_view text) { ReportServiceEvent(text, EVENTLOG_INFORMATION_TYPE, 0); }

}  // namespace brenvik
