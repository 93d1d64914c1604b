#include "service/service_main.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "gateway/connection.h"
#include "gateway/gateway_state.h"
#include "gateway/worker.h"
#include "store/settings.h"
#include "store/sql.h"

namespace brenvik {
namespace {

constexpr int kDefaultReceivePort = 25;

void StartWorker() {
  // Never joined: the worker's life ends with the process.
  std::thread([] {
    try {
      WorkerTiming timing;
      timing.activity = ReportActivity;
      GatewayWorker(0, timing);
    } catch (...) {
      // Nothing may leave the thread; without its worker the service
      // still answers the service manager until it is stopped.
    }
  }).detach();
}

[[noreturn]] void EndProcess() {
  std::fflush(nullptr);
  _exit(0);
}

}  // namespace

ControlRequest ControlForSignal(int signal_number) {
  switch (signal_number) {
    case SIGTERM:
    case SIGINT: return ControlRequest::Stop;
    case SIGPWR: return ControlRequest::Shutdown;
    case SIGUSR1: return ControlRequest::Pause;
    case SIGUSR2: return ControlRequest::Continue;
    case SIGHUP: return ControlRequest::Interrogate;
    default: return ControlRequest::None;
  }
}

sigset_t ControlSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGPWR, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
  return set;
}

void BlockControlSignals() {
  const sigset_t set = ControlSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

ServiceState RunControlLoop(ServiceState state, const StateReporter& report, int wait_ms) {
  const sigset_t set = ControlSignalSet();
  const timespec wait{wait_ms / 1000, static_cast<long>(wait_ms % 1000) * 1000000L};
  for (;;) {
    const int signal_number = sigtimedwait(&set, nullptr, &wait);
    if (signal_number < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return state;  // the wait itself failed: stop
    }
    switch (ControlForSignal(signal_number)) {
      case ControlRequest::Stop:
      case ControlRequest::Shutdown: return state;
      case ControlRequest::Pause:
        state = ServiceState::Paused;
        report(state);
        break;
      case ControlRequest::Continue:
        state = ServiceState::Running;
        report(state);
        break;
      case ControlRequest::Interrogate: report(state); break;
      case ControlRequest::None: break;
    }
  }
}

int ReceivePort() {
  const auto settings = CurrentSettings();
  return settings ? settings->RecvPort : kDefaultReceivePort;
}

void WakeWorker(int port, int timeout_ms) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return;
  Connection connection;
  if (OpenConnection(host, port, timeout_ms, connection)) CloseConnection(connection);
}

void RunService(const ServiceTiming& timing) {
  ReportState(ServiceState::Running);
  SQL_Initialize(2, 2, 150, 3, 3, 0, 0, 0);
  StartWorker();
  RunControlLoop(ServiceState::Running, ReportState, timing.control_wait_ms);

  ReportState(ServiceState::StopPending);
  StopRequested.store(1);
  WakeWorker(ReceivePort(), timing.wake_timeout_ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(timing.stop_grace_ms));
  SQL_Shutdown();
  ReportState(ServiceState::Stopped);
  EndProcess();
}

}  // namespace brenvik
