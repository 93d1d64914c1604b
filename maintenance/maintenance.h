#pragma once
// The maintenance thread: hourly greylist purge and the daily report.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "store/local_time.h"
#include "store/settings.h"

namespace brenvik {

// What the thread needs from its surroundings; production fills it with the
// real clock, the published settings and the process's stop flag.
struct MaintenanceContext {
  std::function<LocalTime()> clock = ReadLocalClock;               // "now"
  std::function<std::shared_ptr<const GatewaySettings>()> settings = CurrentSettings;  // null = not loaded yet
  const std::atomic<int>* stop = nullptr;                          // ends the loop when non-zero; null = never
  std::function<void(int ms)> sleep;                               // one 100 ms step of the 5 s pause; empty = real sleep
  std::function<std::string(const std::string& recipient, const std::string& text, int port,
                            const std::string& host)> send;        // empty = SendStatusMail
};

// Thread procedure: a pass, then 5 s of sleep in 100 ms steps, until the
// stop flag is seen (so a stop ends it within one step, or after a job that
// is running). Never throws.
void RunMaintenance(const MaintenanceContext& context);

// The thread's own state; both start cleared.
struct MaintenanceFlags {
  bool report_sent = false;  // report of the current 01:00 slot done
  bool purge_done = false;   // purge of the current hour done
  std::string report_retry;  // report slot whose claim the database failed; "" none
  std::string purge_retry;   // purge slot whose claim the database failed; "" none
};
// One pass of the loop (the jobs and the re-arming), without the sleep.
// Reads the settings once and the clock for each test; a null settings
// record does nothing. Flags re-arm on any minute other than 0. A slot whose
// claim failed for the database is claimed again at each pass while it is
// still the current one (the purge's hour, the report's day).
void MaintenancePass(const MaintenanceContext& context, MaintenanceFlags& flags);

// The jobs themselves, on the open database.
std::string BuildStatusReport();
int PurgeGreylist(const LocalTime& now);  // returns the count recorded

// One monthly row of the report: the month text padded on the right to 16,
// the count right-aligned in 7, CR LF (longer fields run together).
std::string ReportMonthLine(std::string_view month_text, int count);

}  // namespace brenvik
