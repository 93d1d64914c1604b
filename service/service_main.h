#pragma once
// The service main: reports running, starts the SQL layer and the gateway
// worker, answers the control signals and runs the stop sequence.
#include <csignal>
#include <functional>

#include "service/service_notify.h"

namespace brenvik {

// What a control signal asks for.
enum class ControlRequest {
  None,         // not a control signal
  Stop,         // SIGTERM, SIGINT
  Shutdown,     // SIGPWR; handled like Stop
  Pause,        // SIGUSR1
  Continue,     // SIGUSR2
  Interrogate,  // SIGHUP: report the current state again
};

ControlRequest ControlForSignal(int signal_number);

// The six control signals.
sigset_t ControlSignalSet();

// Blocks the control signals in the calling thread. Called by the main
// thread before any other thread exists, so that every thread inherits the
// mask and only the control loop takes them. Also ignores SIGPIPE: a peer
// that goes away must not end the gateway.
void BlockControlSignals();

struct ServiceTiming {
  int control_wait_ms = 50;    // one timed wait of the control loop
  int wake_timeout_ms = 60000; // the stop sequence's own connection
  int stop_grace_ms = 2000;    // before the SQL layer is shut down
};

using StateReporter = std::function<void(ServiceState)>;

// Takes control signals until a stop or shutdown (or a failed wait) and
// reports each state change; returns the state it had at the end. The
// signals must already be blocked in the calling thread.
ServiceState RunControlLoop(ServiceState state, const StateReporter& report, int wait_ms);

// Connects once to this computer's own host name on `port` and closes the
// connection at once, so that a worker blocked in accept sees the stop
// flag. A failed connection is no obstacle.
void WakeWorker(int port, int timeout_ms);

// The receive port of the published settings; 25 before they exist.
int ReceivePort();

// The whole service life; ends the process when the stop sequence is done,
// without running destructors under the feet of session threads.
[[noreturn]] void RunService(const ServiceTiming& timing = {});

}  // namespace brenvik
