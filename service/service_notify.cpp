#include "service/service_notify.h"

#include <systemd/sd-daemon.h>

#include <mutex>
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

namespace {

std::mutex activity_mutex;
std::string current_activity;  // guarded by activity_mutex

// Keep NOTIFY_SOCKET in the environment: every later report needs it.
void Notify(const std::string& message) { sd_notify(0, message.c_str()); }

void NotifyActivity(const std::string& activity) {
  if (!activity.empty()) Notify(std::string(kNotifyStatusPrefix) + activity);
}

}  // namespace

void ReportState(ServiceState state) {
  std::lock_guard<std::mutex> lock(activity_mutex);
  Notify(std::string(NotifyMessage(state)));
  if (state == ServiceState::Running) NotifyActivity(current_activity);
}

void ReportActivity(const std::string& activity) {
  std::lock_guard<std::mutex> lock(activity_mutex);
  current_activity = activity;
  NotifyActivity(activity);
}

}  // namespace brenvik
