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
    "# (certbot: --deploy-hook \"systemctl restart brenvik\"). The service manager hands them\n"
    "# over (LoadCredential=), so the key need not be readable by the user brenvik.\n";
// Credential lines (followed by the path of the setting of the same name).
inline constexpr std::string_view kUnitCredentialPrefix = "LoadCredential=";
// Its default when the file cannot be read (followed by the name, ':' and
// the fallback text), so the gateway starts and reports the file instead.
inline constexpr std::string_view kUnitCredentialDefaultPrefix = "SetCredential=";
inline constexpr std::string_view kUnitWritablePrefix = "ReadWritePaths=-";
// Least privilege: its own user, port 25 and nothing else, systemd's sandbox.
// "systemd-analyze security brenvik" rates it about 1.5; each exposure left
// is named with its reason.
inline constexpr std::string_view kUnitSandboxHead =
    "User=brenvik\n"
    "Group=brenvik\n"
    "# Port 25 is its only privilege.\n"
    "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
    "NoNewPrivileges=yes\n"
    "# Everything read-only but the working folder (database, transcripts).\n"
    "ProtectSystem=strict\n";
// Then the working folder's line, then this.
inline constexpr std::string_view kUnitSandboxRest =
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "# ProtectClock= leaves read access to the clock device (exposure 0.1).\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "# Internet sockets are its job; local ones reach the journal, systemd's notify\n"
    "# socket and a local PostgreSQL (exposure 0.4).\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged\n"
    "SystemCallErrorNumber=EPERM\n"
    "RemoveIPC=yes\n"
    "KeyringMode=private\n"
    "# Files are readable by the group brenvik (the administrator's tool), by\n"
    "# nobody else (exposure 0.1).\n"
    "UMask=0027\n"
    "# Three descriptors a session (client, mail server, transcript): room for\n"
    "# MaxSessions; the gateway lowers its cap itself if this is less.\n"
    "LimitNOFILE=65536\n"
    "# Exposures left by design: it must reach the internet (PrivateNetwork=,\n"
    "# IPAddressDeny=: 0.7) and bind port 25 with an ambient capability (0.2),\n"
    "# which a user namespace would not grant on the host's network\n"
    "# (PrivateUsers=: 0.2); it runs in the host's file tree, made read-only\n"
    "# above (RootDirectory=: 0.1).\n";

// The service manager's command, found on the search path.
inline constexpr const char* kServiceManagerCommand = "systemctl";
inline constexpr const char* kReloadVerb = "daemon-reload";

}  // namespace brenvik
