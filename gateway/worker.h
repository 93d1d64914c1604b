#pragma once
// The gateway worker: loads settings and lists, listens, accepts.
#include <cstdint>

namespace brenvik {

struct WorkerTiming {
  int listener_timeout_ms = 90000;   // listener and accepted clients
  int accept_pause_ms = 500;         // after each accepted connection
  int failed_accept_pause_ms = 60000; // after a failed accept
};

// Thread procedure; the argument is unused (0). Starts the maintenance
// thread first, then loads, listens and accepts until StopRequested.
void GatewayWorker(std::uint32_t unused);
void GatewayWorker(std::uint32_t unused, const WorkerTiming& timing);

}  // namespace brenvik
