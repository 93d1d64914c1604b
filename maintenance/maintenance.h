#pragma once
// The maintenance thread: hourly greylist purge and the daily report.
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "store/local_time.h"
#include "store/settings.h"

namespace brenvik {

// What the thread needs from its surroundings; production fills it with the
// real clock, the published settings and the process's stop flag.
struct MaintenanceContext {
  std::function<LocalTime()> clock = ReadLocalClock;               // "now"
  std::function<std::shared_ptr<const GatewaySettings>()> settings = CurrentSettings;  // null = not loaded yet
  const std::atomic<int>* stop = nullptr;                          // ends the loop when non-zero
  std::function<void(int ms)> sleep;                               // empty = real sleep
  std::function<std::string(const std::string& recipient, const std::string& text, int port,
                            const std::string& host)> send;        // empty = SendStatusMail
};

// Thread procedure.
void RunMaintenance(const MaintenanceContext& context);

// One pass of the loop (the jobs and the re-arming), without the sleep.
struct MaintenanceFlags {
  bool report_sent = false;  // report of the current 01:00 slot done
  bool purge_done = false;   // purge of the current hour done
};
void MaintenancePass(const MaintenanceContext& context, MaintenanceFlags& flags);

// The jobs themselves, on the open database.
std::string BuildStatusReport();
int PurgeGreylist(const LocalTime& now);  // returns the count recorded

}  // namespace brenvik
