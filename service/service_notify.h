#pragma once
// The states the service reports to the service manager (systemd's notify
// socket). Without NOTIFY_SOCKET, as when started from a terminal, the
// reports go nowhere.
#include <string>
#include <string_view>

namespace brenvik {

enum class ServiceState {
  Running,      // READY=1, STATUS=running
  Paused,       // STATUS=paused; mail keeps flowing
  StopPending,  // STOPPING=1 with a 3000 ms extension of the stop time-out
  Stopped,      // STATUS=stopped, last report before the process ends
};

// The notify message that reports the state.
std::string_view NotifyMessage(ServiceState state);

// Sends the state's message; the outcome is not examined. A running report
// is followed by the gateway's activity, once there is one.
void ReportState(ServiceState state);

// What the gateway does ("listening on ..., relaying to ..." or "not
// listening: ..."): sent as STATUS= now and after each running report.
void ReportActivity(const std::string& activity);

}  // namespace brenvik
