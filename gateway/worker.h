#pragma once
// The gateway worker: loads settings and lists, listens, accepts.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "maintenance/maintenance.h"

namespace brenvik {

struct WorkerTiming {
  int listener_timeout_ms = 90000;   // listener and accepted clients
  int failed_accept_pause_ms = 60000; // after a failed accept
  // Told what the worker is doing ("listening on ..." or "not listening:
  // ..."), each time that changes; empty = nobody asks.
  std::function<void(const std::string&)> activity;
  // The maintenance thread's procedure (tests replace it; empty = none).
  std::function<void(const MaintenanceContext&)> maintenance = RunMaintenance;
};

// Thread procedure; the argument is unused (0). Starts the maintenance
// thread first, then loads, listens and accepts until StopRequested. The
// pauses end early once StopRequested is set.
void GatewayWorker(std::uint32_t unused);
void GatewayWorker(std::uint32_t unused, const WorkerTiming& timing);

enum class GatewayList {
  Domains,  // SpamSystem Typ 1, loaded as domain keys
  Relays,   // SpamSystem Typ 2, loaded as stored
};
// Fills `list` from the `what` column of the list's rows. A row whose
// `what` is no text is left out with one error event, a domain that does
// not convert with one event naming it. False when there are more than
// kMaxListEntries rows.
bool LoadGatewayList(GatewayList which, std::vector<std::string>& list);

}  // namespace brenvik
