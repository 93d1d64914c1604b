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
