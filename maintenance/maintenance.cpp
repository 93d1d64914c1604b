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

// The jobs may rightly take longer than a session's decision may wait.
constexpr int kJobTimeoutMs = 300000;

class JobDeadline {
 public:
  JobDeadline() { SetSqlThreadStatementTimeout(kJobTimeoutMs); }
  ~JobDeadline() { SetSqlThreadStatementTimeout(0); }
  JobDeadline(const JobDeadline&) = delete;
  JobDeadline& operator=(const JobDeadline&) = delete;
};

std::string SlotName(std::string_view job, const LocalTime& now, bool with_hour) {
  std::string slot = std::string(job) + MonthFirstDate(now);
  if (with_hour) slot += " " + std::to_string(now.hour);
  return slot;
}

// Gateways sharing a database server run each slot's job once, whichever
// claims it first; a lone gateway always gets its slot. A claim the
// database failed is left in `retry` for the next pass.
bool ClaimSlot(const std::string& slot, std::string& retry) {
  const SlotClaim claim = SQL_ClaimSlot(slot);
  retry = claim == SlotClaim::Failed ? slot : std::string();
  return claim == SlotClaim::Claimed;
}

void RunReport(const MaintenanceContext& context, const GatewaySettings& settings, const std::string& slot,
               MaintenanceFlags& flags) {
  if (!ClaimSlot(slot, flags.report_retry)) return;
  JobDeadline deadline;
  SendReport(context, settings);  // outcome ignored: the next try is tomorrow
}

void RunPurge(const std::string& slot, const LocalTime& now, MaintenanceFlags& flags) {
  if (!ClaimSlot(slot, flags.purge_retry)) return;
  JobDeadline deadline;
  PurgeGreylist(now);
}

}  // namespace

void MaintenancePass(const MaintenanceContext& context, MaintenanceFlags& flags) {
  std::shared_ptr<const GatewaySettings> settings = context.settings ? context.settings() : nullptr;
  if (!settings) return;  // nothing loaded yet: no jobs
  const bool enabled = settings->GarbageCollector == 1;

  LocalTime now = context.clock();
  std::string slot = SlotName(texts::kReportSlot, now, false);
  if (enabled && !settings->StatusMail.empty() && !flags.report_sent && now.minute == 0 &&
      now.hour == kReportHour) {
    flags.report_sent = true;
    RunReport(context, *settings, slot, flags);
  } else if (enabled && !flags.report_retry.empty() && flags.report_retry == slot) {
    RunReport(context, *settings, slot, flags);
  }

  now = context.clock();
  slot = SlotName(texts::kPurgeSlot, now, true);
  if (enabled && !flags.purge_done && now.minute == 0 && now.hour >= kFirstPurgeHour) {
    flags.purge_done = true;
    RunPurge(slot, now, flags);
  } else if (enabled && !flags.purge_retry.empty() && flags.purge_retry == slot) {
    RunPurge(slot, now, flags);
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
