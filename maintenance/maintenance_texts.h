#pragma once
// The fixed texts of the maintenance module in one place: message table,
// status-mail failures, report lines and statement texts.
#include <string_view>

namespace brenvik::texts {

// --- Event log -----------------------------------------------------------
inline constexpr std::string_view kEventSourceName = "Brenvik";
inline constexpr std::string_view kEventSourceKeyPrefix =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
inline constexpr std::string_view kEventMessageFileValue = "EventMessageFile";
inline constexpr std::string_view kTypesSupportedValue = "TypesSupported";
inline constexpr unsigned kTypesSupported = 7;  // error, warning, information

// Message table; "%1" (and "%2") are the insertion strings.
inline constexpr std::string_view kMessageSuccess = "Erfolgsmeldung: %1\r\n";
inline constexpr std::string_view kMessageWarning = "I must insist on %1 because %2\r\n";
inline constexpr std::string_view kMessageError = "Ein Fehler ist aufgetreten: %1";

// --- Status mail -----------------------------------------------------------
inline constexpr std::string_view kMailOk = "OK";
inline constexpr std::string_view kMailhostUnreachable = "Mailhost nicht erreichbar";
inline constexpr std::string_view kNoGreeting = "Keine Antwort nach OPEN";
inline constexpr std::string_view kWrongGreeting = "Falsche Antwort beim OPEN";
inline constexpr std::string_view kHeloSend = "Fehler beim Senden von HELO";
inline constexpr std::string_view kHeloReceive = "Fehler beim Empfang nach HELO";
inline constexpr std::string_view kHeloStatus = "Falscher Status nach HELO";
inline constexpr std::string_view kMailSend = "Fehler beim Senden von MAIL";
inline constexpr std::string_view kMailReceive = "Fehler beim Empfang nach MAIL";
inline constexpr std::string_view kMailStatus = "Falscher Status nach MAIL";
inline constexpr std::string_view kRcptSend = "Fehler beim Senden von RCPT";
inline constexpr std::string_view kRcptReceive = "Fehler beim Empfang nach RCPT";
inline constexpr std::string_view kRcptStatus = "Falscher Status nach RCPT";
inline constexpr std::string_view kDataSend = "Fehler beim Senden von DATA";
inline constexpr std::string_view kDataReceive = "Fehler beim Empfang nach DATA";
inline constexpr std::string_view kDataStatus = "Falscher Status nach DATA";
inline constexpr std::string_view kBodySend = "Fehler beim Senden der Mail-Daten";
inline constexpr std::string_view kBodyReceive = "Fehler nach Senden der Maildaten";
inline constexpr std::string_view kBodyStatus = "Falscher Status nach Maildaten";
inline constexpr std::string_view kQuitSend = "Fehler beim Senden von QUIT";
inline constexpr std::string_view kQuitReceive = "Fehler nach Senden von QUIT";
inline constexpr std::string_view kQuitStatus = "Falscher Status nach QUIT";

// --- Mail log ----------------------------------------------------------------
inline constexpr std::string_view kMailLogFolder = "maillog";
inline constexpr std::string_view kMailLogFilePrefix = "maillog/maillog";
inline constexpr std::string_view kMailLogFileSuffix = ".txt";
inline constexpr std::string_view kLogRowPrefix =
    "INSERT INTO LogTable (Email, Logtext, Ip, Timestmp) SELECT ";

// --- Report ------------------------------------------------------------------
inline constexpr std::string_view kReportSubject = "Subject:Spamstatistik\r\n";
inline constexpr std::string_view kReportYesterdayBefore = "Brenvik hat gestern ";
inline constexpr std::string_view kReportYesterdayAfter = " Spammails vernichtet!\r\n\r\n";
inline constexpr std::string_view kReportTotals = "Gesamtstatistik:\r\n";
inline constexpr std::string_view kReportLineEnd = "\r\n";

inline constexpr std::string_view kLatestDayQuery =
    "SELECT TOP 1 Sum(SpamCount) AS Anz, SpamDate AS Dat FROM Statistik GROUP BY SpamDate "
    "ORDER BY SpamDate DESC;";
inline constexpr std::string_view kMonthlyQuery =
    "SELECT Sum(SpamCount) AS Anz, Format$([SpamDate],'mmmm yyyy') AS Dat  FROM Statistik "
    "GROUP BY Format$([SpamDate],'mmmm yyyy'), Year([spamdate]), Month([spamdate]) "
    "ORDER BY Year([spamdate]), Month([spamdate]);";

// --- Purge -------------------------------------------------------------------
// Count and delete share the condition; the cut-off literal goes between.
inline constexpr std::string_view kPurgeCountPrefix =
    "SELECT COUNT(WieOft) AS W FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<#";
inline constexpr std::string_view kPurgeDeletePrefix =
    "DELETE * FROM LISTE WHERE (((WieOft)=1) AND ((LastEdit)<#";
inline constexpr std::string_view kPurgeConditionEnd = ":0:0#));";
inline constexpr std::string_view kStatistikInsertPrefix =
    "INSERT INTO Statistik ( SpamCount, SpamDate ) SELECT ";

// --- Job slots shared by gateways on one database server -----------------------
inline constexpr std::string_view kReportSlot = "report ";  // + month-first date
inline constexpr std::string_view kPurgeSlot = "purge ";    // + month-first date, blank, hour

}  // namespace brenvik::texts
