#pragma once
// Every fixed text of the service host in one place: event texts, the
// command-line words and the state reports sent to the service manager.
#include <string_view>

namespace brenvik {

// Command-line words, compared exactly and case-sensitively.
inline constexpr std::string_view kInstallWord = "-install";
inline constexpr std::string_view kUninstallWord = "-uninstall";

// Events written by the entry point.
inline constexpr std::string_view kEventInstalled =
    "Service wurde installiert, Service installed succesfully";
inline constexpr std::string_view kEventInstallFailed =
    "Service konnte nicht installiert werden / Service install failed: ";
inline constexpr std::string_view kEventUninstalled =
    "Service wurde deinstalliert, Service uninstalled succesfully";
inline constexpr std::string_view kEventUninstallFailed =
    "Service konnte nicht deinstalliert werden / Service uninstall failed: ";
inline constexpr std::string_view kEventStarted = "Service wurde gestartet / service started";
// A registry file line that could not be understood: number, then the file.
inline constexpr std::string_view kEventRegistryLineBefore = "FEHLER: Registry-Datei Zeile ";
inline constexpr std::string_view kEventRegistryLineMiddle =
    " nicht verstanden, bleibt wie sie ist / registry file line ";
inline constexpr std::string_view kEventRegistryLineAfter = " not understood, kept as it stands: ";

// State reports (sd_notify messages).
inline constexpr std::string_view kNotifyRunning = "READY=1\nSTATUS=running";
inline constexpr std::string_view kNotifyPaused = "STATUS=paused";
inline constexpr std::string_view kNotifyStopPending = "STOPPING=1\nEXTEND_TIMEOUT_USEC=3000000";
inline constexpr std::string_view kNotifyStopped = "STATUS=stopped";
// Followed by what the gateway does.
inline constexpr std::string_view kNotifyStatusPrefix = "STATUS=";

// The unit as the service manager knows it, below $BRENVIK_SYSROOT.
inline constexpr std::string_view kUnitFolder = "/etc/systemd/system";
inline constexpr std::string_view kUnitFileName = "brenvik.service";
inline constexpr std::string_view kUnitWantedByFolder = "multi-user.target.wants";
inline constexpr std::string_view kUnitDescription = "Brenvik anti-spam SMTP gateway";
// Settings, certificates included, are read once at start.
inline constexpr std::string_view kUnitRenewalNote =
    "# TlsCertificate and TlsKey are read at start: after a renewal run \"systemctl restart brenvik\"\n"
    "# (certbot: --deploy-hook \"systemctl restart brenvik\").\n";

// The service manager's command, found on the search path.
inline constexpr const char* kServiceManagerCommand = "systemctl";
inline constexpr const char* kReloadVerb = "daemon-reload";

}  // namespace brenvik
