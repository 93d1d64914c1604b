// The maintenance thread's loop: a pass every 5 s, each job once per slot.
#include "maintenance/maintenance.h"

#include <chrono>
#include <thread>

#include "maintenance/maintenance_texts.h"
#include "maintenance/status_mail.h"
#include "store/sql.h"

namespace brenvik {
namespace {

constexpr int kPassMs = 5000;
constexpr int kSleepStepMs = 100;  // how soon a stop is noticed while sleeping
constexpr int kReportHour = 1;
constexpr int kFirstPurgeHour = 7;

bool StopSet(const MaintenanceContext& context) {
  return context.stop != nullptr && context.stop->load() != 0;
}

void Sleep(const MaintenanceContext& context, int ms) {
  if (context.sleep) {
    context.sleep(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

void SendReport(const MaintenanceContext& context, const GatewaySettings& settings) {
  std::string text = BuildStatusReport();
  if (context.send) {
    context.send(settings.StatusMail, text, settings.SendPort, settings.SendHost);
  } else {
    SendStatusMail(settings.StatusMail, text, settings.SendPort, settings.SendHost);
  }
}

// Gateways sharing a database server run each slot's job once, whichever
// claims it first; a lone gateway always gets its slot.
bool ClaimSlot(std::string_view job, const LocalTime& now, bool with_hour) {
  std::string slot = std::string(job) + MonthFirstDate(now);
  if (with_hour) slot += " " + std::to_string(now.hour);
  return SQL_ClaimSlot(slot);
}

}  // namespace

void MaintenancePass(const MaintenanceContext& context, MaintenanceFlags& flags) {
  std::shared_ptr<const GatewaySettings> settings = context.settings ? context.settings() : nullptr;
  if (!settings) return;  // nothing loaded yet: no jobs
  const bool enabled = settings->GarbageCollector == 1;

  LocalTime now = context.clock();
  if (enabled && !settings->StatusMail.empty() && !flags.report_sent && now.minute == 0 &&
      now.hour == kReportHour) {
    flags.report_sent = true;
    if (ClaimSlot(texts::kReportSlot, now, false)) SendReport(context, *settings);  // outcome ignored: the next try is tomorrow
  }

  now = context.clock();
  if (enabled && !flags.purge_done && now.minute == 0 && now.hour >= kFirstPurgeHour) {
    flags.purge_done = true;
    if (ClaimSlot(texts::kPurgeSlot, now, true)) PurgeGreylist(now);
  }

  // Re-arm on any minute past the slot's, so a pass that overran minute 1
  // does not switch a job off until the next restart.
  now = context.clock();
  if (now.minute != 0) {
    flags.purge_done = false;
    flags.report_sent = false;
  }
}

void RunMaintenance(const MaintenanceContext& context) {
  MaintenanceFlags flags;
  while (!StopSet(context)) {
    try {
      MaintenancePass(context, flags);
    } catch (...) {
      // Exhaustion inside a job: that slot's job is lost, the thread goes on.
    }
    for (int slept = 0; slept < kPassMs && !StopSet(context); slept += kSleepStepMs) {
      Sleep(context, kSleepStepMs);
    }
  }
}

}  // namespace brenvik
