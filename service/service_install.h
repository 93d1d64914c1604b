#pragma once
// Registering the gateway with the service manager: a unit file below
// $BRENVIK_SYSROOT that starts this very program without arguments, and
// its removal. Both return 1 on success and 0 on any failure.
#include <string>
#include <string_view>

#include "store/files.h"  // OwnExecutablePath

namespace brenvik {

// $BRENVIK_SYSROOT/etc/systemd/system/brenvik.service
std::string UnitFilePath();

// The TLS files the service manager hands over as credentials; "" for none.
struct UnitCredentials {
  std::string certificate;  // TlsCertificate path, read by systemd as root
  std::string key;          // TlsKey path, read by systemd as root
};

// The unit text for a program at `program_path` (absolute), run as the user
// brenvik in systemd's sandbox, writing only below `work_folder` (no such
// line when it is empty, relative or "/"). Empty when the program path
// cannot be written into a unit (a control character in it).
std::string BuildUnitText(std::string_view program_path, std::string_view work_folder,
                          const UnitCredentials& credentials = {});

// Writes the unit for WorkDir (or the current folder when it is empty) and
// the TLS settings (never over an existing one, never half-written), then
// asks the service manager to reload. 0 when the unit exists already or
// cannot be written.
int InstallService();

// Removes the unit (and the link an enable left for it), then asks the
// service manager to reload. 0 when the unit is missing or cannot be
// removed. A running service keeps running until it is stopped.
int UninstallService();

// Runs "systemctl daemon-reload" found on the search path and waits for it;
// its outcome is not examined, a missing systemctl is no failure.
void ReloadServiceManager();

}  // namespace brenvik
