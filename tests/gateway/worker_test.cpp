// The worker with a registry file, a spam.mdb and a listener of its own,
// all in temporary folders.
#include "gateway/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gateway_state.h"
#include "maintenance/event_log.h"
#include "session_harness.h"
#include "store/registry.h"

namespace brenvik {
namespace {

constexpr const char* kListenerBroken =
    "FEHLER: Netzwerkverbindung unterbrochen. Network connection broken, Fehlerbeschreibung / Error: "
    "Bad file name or number";

TEST(WorkerThreaded, PublishesItsSettingsReportsAListenerFailureAndStopsInThePause) {
  session_test::TempDir root, work;
  setenv("BRENVIK_SYSROOT", root.path().c_str(), 1);
  const int recv_port = session_test::UnusedPort();
  for (auto [name, value] : {std::pair{"RecvHost", std::string("127.0.0.1")},
                             {"RecvPort", std::to_string(recv_port)},
                             {"WorkDir", work.path().substr(0, work.path().size() - 1)}})  // the loader adds "/"
    ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, value));
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  const std::atomic<int>* maintenance_stop = nullptr;
  SetEventObserver([&](std::uint32_t, int, const std::string& rendered) {
    std::lock_guard lock(mutex);
    events.push_back(rendered);
    changed.notify_all();
  });
  WorkerTiming timing;
  timing.failed_accept_pause_ms = 60000;  // the stop must cut it short
  timing.maintenance = [&](const MaintenanceContext& context) {
    std::lock_guard lock(mutex);
    maintenance_stop = context.stop;
  };
  Connection squatter;  // holds the receive port
  ASSERT_TRUE(OpenListener(ResolveHost("127.0.0.1"), recv_port, 1000, squatter));
  StopRequested = 0;
  std::thread worker([&] { GatewayWorker(0, timing); });
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::any_of(events.begin(), events.end(),
                         [](const std::string& e) { return e.find(kListenerBroken) != std::string::npos; });
    })) << (events.empty() ? "" : events.back());
  }
  StopRequested = 1;
  worker.join();  // inside the 60 s pause
  SetEventObserver({});
  StopRequested = 0;
  unsetenv("BRENVIK_SYSROOT");

  ASSERT_NE(CurrentSettings(), nullptr);  // published whole, before the listener
  EXPECT_EQ(CurrentSettings()->RecvPort, recv_port);
  EXPECT_EQ(CurrentSettings()->WorkDir, work.path());
  std::lock_guard lock(mutex);
  EXPECT_EQ(maintenance_stop, &StopRequested);
  EXPECT_EQ(events.size(), 1u);
}

}  // namespace
}  // namespace brenvik
