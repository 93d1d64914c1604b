#include "service/service_notify.h"

#include <systemd/sd-daemon.h>

#include <string>

#include "service/service_texts.h"

namespace brenvik {

std::string_view NotifyMessage(ServiceState state) {
  switch (state) {
    case ServiceState::Running: return kNotifyRunning;
    case ServiceState::Paused: return kNotifyPaused;
    case ServiceState::StopPending: return kNotifyStopPending;
    case ServiceState::Stopped: return kNotifyStopped;
  }
  return kNotifyRunning;
}

void ReportState(ServiceState state) {
  // Keep NOTIFY_SOCKET in the environment: every later report needs it.
  const std::string message(NotifyMessage(state));
  sd_notify(0, message.c_str());
}

}  // namespace brenvik
