#pragma once
// The configuration tool's own texts: messages and SQL statements.
#include <string_view>

namespace brenvik::texts {

inline constexpr std::string_view kMessageTitle = "Brenvik";
inline constexpr std::string_view kTitlePrefix = "Brenvik V";

// Validation of "Save and End", in the order they are checked.
inline constexpr std::string_view kNoReceiveDomain = "You need at least one receive domain!";
inline constexpr std::string_view kUnknownReceivePort = "Unknown receive port!";
inline constexpr std::string_view kUnknownSendPort = "Unknown send port!";
inline constexpr std::string_view kUnknownReceiveIp = "Receive IP is unknown!";
inline constexpr std::string_view kUnknownSendHost = "Send to Host is unknown!";

// A registry write of "Save and End" failed; the registry file's path follows.
inline constexpr std::string_view kSaveFailed =
    "The settings could not be saved. Nothing was restarted and the form stays open.\r\n"
    "Please check the rights on the registry file:\r\n";
// A list statement failed without an error text of its own.
inline constexpr std::string_view kDatabaseErrorFallback = "Database error ";

// A domain entry with an "@" after its first character: the entry goes first.
inline constexpr std::string_view kAtInsideDomain =
    " is not a mail domain: a domain has no @ inside "
    "(z.B.: the domain of info@four.example is four.example).";
// A domain or relay list that already holds the gateway's limit: the limit
// goes between the two parts.
inline constexpr std::string_view kListFullBefore = "The gateway reads at most ";
inline constexpr std::string_view kListFullAfter =
    " entries of this list and does not start with more.\r\n"
    "Please remove an entry before adding another.";

// A domain or relay list that already holds more than the gateway reads:
// before + the list's caption + middle + its count + after + the limit + end.
inline constexpr std::string_view kOverLimitBefore = "The list \"";
inline constexpr std::string_view kOverLimitMiddle = "\" holds ";
inline constexpr std::string_view kOverLimitAfter = " entries, but the gateway reads at most ";
inline constexpr std::string_view kOverLimitEnd =
    " and does not start with more.\r\nPlease remove the extra entries.";

// The working folder (WorkDir without spam.mdb, and a current folder that no
// longer exists): nothing is opened, changed or saved.
inline constexpr std::string_view kNoWorkingFolder =
    "The current folder no longer exists, and the settings name no working folder holding spam.mdb.\r\n"
    "Nothing can be changed or saved. Please start brenvikcfg in the working folder "
    "(cd /var/opt/brenvik).";

// The settings file: said when the form opens and when Save is clicked. The
// file's path and the system's reason follow.
inline constexpr std::string_view kSettingsNotReadable =
    "The settings cannot be read, so the fields do not show them, and Save cannot store them:\r\n";
inline constexpr std::string_view kSettingsNotWritable =
    "This user may not write the settings, so the fields do not show them, and Save cannot store them:\r\n";
inline constexpr std::string_view kCannotSave =
    "The settings cannot be saved; nothing was written and the form stays open:\r\n";

inline constexpr std::string_view kWrongWhitelistDomain =
    "Wrong Domain, has to start with @ z.B.: @example.com)";

// An octet typed over 255 in an IP-address input: the typed number goes first.
inline constexpr std::string_view kOctetOutOfRange =
    " is not a valid entry. The value must lie between 0 and 255.";

// The database can be read but not written: the lists are shown, not changed.
inline constexpr std::string_view kDatabaseReadOnly =
    "The database spam.mdb can be read but not written.\r\n"
    "The lists are shown as stored, but they cannot be changed.\r\n";

inline constexpr std::string_view kServiceInstalled =
    "Service installed succesfully. \r\n"
    "Please change the servicestart to automatic\r\n"
    "and let the service start after save and end!\r\n";
inline constexpr std::string_view kServiceUninstalled = "Service succesfully uninstalled!\r\n";
// The service program did not report success: what it said (or why it did
// not run) follows.
inline constexpr std::string_view kServiceNotInstalled = "The service was not installed.\r\n";
inline constexpr std::string_view kServiceNotUninstalled = "The service was not uninstalled.\r\n";
inline constexpr std::string_view kProgramNotSafe =
    " is not run as root: another user may change it or a folder above it.";
inline constexpr std::string_view kServiceNotStarted = "The settings were saved, but the service did not start:\r\n";
inline constexpr std::string_view kProgramNotStarted = " could not be started: ";
inline constexpr std::string_view kProgramExitStatus = " ended with exit status ";
inline constexpr std::string_view kProgramKilled = " did not end normally";

// Statements. Values are embedded with SqlQuote, which adds the quotes.
inline constexpr std::string_view kSelectWhitelist = "SELECT * FROM LISTE WHERE email like '@%';";
inline constexpr std::string_view kSelectDomains = "SELECT * FROM SpamSystem WHERE Typ = 1;";
inline constexpr std::string_view kSelectRelays = "SELECT * FROM SpamSystem WHERE Typ = 2;";
inline constexpr std::string_view kInsertSpamSystem = "INSERT INTO SpamSystem (what, Typ) SELECT ";
inline constexpr std::string_view kDomainTypSuffix = ", 1;";
inline constexpr std::string_view kRelayTypSuffix = ", 2;";
inline constexpr std::string_view kInsertWhitelist = "INSERT INTO Liste (email) SELECT ";
inline constexpr std::string_view kDeleteSpamSystem = "DELETE FROM SpamSystem WHERE what = ";
inline constexpr std::string_view kDeleteWhitelist = "DELETE FROM Liste WHERE email = ";
inline constexpr std::string_view kStatementEnd = ";";

// Service control.
inline constexpr std::string_view kServiceProgram = "/brenvik";
inline constexpr std::string_view kInstallSwitch = "-install";
inline constexpr std::string_view kUninstallSwitch = "-uninstall";
inline constexpr std::string_view kSystemctl = "systemctl";
inline constexpr std::string_view kServiceName = "brenvik";

inline constexpr std::string_view kDatabaseFile = "/spam.mdb";

}  // namespace brenvik::texts
