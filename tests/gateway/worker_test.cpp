// The worker with a registry file, a spam.mdb and a listener of its own,
// all in temporary folders.
#include "gateway/worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/connection.h"
#include "gateway/gateway_state.h"
#include "maintenance/event_log.h"
#include "session_harness.h"
#include "store/database.h"
#include "store/registry.h"
#include "store/settings.h"
#include "store/sql.h"

namespace brenvik {
namespace {

using session_test::TempDir;

constexpr const char* kNoDatabase =
    "FEHLER: Datenbankverbindung konnte nicht erstellt werden. Start abgebrochen / no database connection";
constexpr const char* kTooManyDomains = "FEHLER: Zu viele Mail Domains, maximal 100";
constexpr const char* kTooManyRelays = "FEHLER: Zu viele Relay IP Adressen, maximal 100";
constexpr const char* kListenerBroken =
    "FEHLER: Netzwerkverbindung unterbrochen. Network connection broken, Fehlerbeschreibung / Error: "
    "Bad file name or number";

class WorkerThreaded : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("BRENVIK_SYSROOT", root_.path().c_str(), 1);
    StopRequested = 0;
    SetEventObserver([this](std::uint32_t, int, const std::string& rendered) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(rendered);
      changed_.notify_all();
    });
    recv_port_ = session_test::UnusedPort();
    Set("RecvHost", "127.0.0.1");
    Set("RecvPort", std::to_string(recv_port_));
    Set("SendHost", "127.0.0.1");
    Set("SendPort", std::to_string(session_test::UnusedPort()));
    std::string work = work_.path();
    work.pop_back();  // the loader appends the "/"
    Set("WorkDir", work);
    timing_.listener_timeout_ms = session_test::kPeerTimeoutMs;
    timing_.accept_pause_ms = 10;
    timing_.failed_accept_pause_ms = 60000;  // a stop must cut it short
    timing_.maintenance = [this](const MaintenanceContext& context) {
      std::lock_guard<std::mutex> lock(mutex_);
      maintenance_stop_ = context.stop;
    };
  }
  void TearDown() override {
    SetEventObserver({});
    StopRequested = 0;
    unsetenv("BRENVIK_SYSROOT");
  }

  void Set(const char* name, const std::string& value) {
    ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, value));
  }

  void SeedRows(int typ, int count, const std::string& prefix) {
    SQL_Initialize(0, 0, 0, 0, 0, 0, 0, 0);
    ASSERT_TRUE(OpenDatabase(work_.path(), "spam.mdb"));
    for (int i = 0; i < count; ++i) {
      SQL_Stmt(3, "INSERT INTO SpamSystem (Typ, what) VALUES (" + std::to_string(typ) + ", '" + prefix +
                      std::to_string(i) + "');");
      ASSERT_EQ(SQL_ErrorNumber(), 0) << SQL_ErrorText();
    }
    SQL_CloseDB();
  }

  void Start() {
    worker_ = std::thread([this] { GatewayWorker(0, timing_); });
  }

  // Sets the stop flag and makes the stop sequence's connection; the worker
  // must end then.
  void StopAndJoin() {
    StopRequested = 1;
    Connection poke;
    if (OpenConnection("127.0.0.1", recv_port_, session_test::kPeerTimeoutMs, poke)) ReadToEnd(poke);
    worker_.join();
  }

  static std::string ReadToEnd(Connection& c) {
    std::string all, block;
    while (ReadAvailable(c, kReceiveBufferSize, block) && !block.empty()) all += block;
    return all;
  }

  // Connects to the worker's listener once it is up (bounded attempts).
  bool ConnectToWorker(Connection& c) {
    for (int attempt = 0; attempt < 250; ++attempt) {
      if (OpenConnection("127.0.0.1", recv_port_, session_test::kPeerTimeoutMs, c)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  bool WaitForEvent(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return HasEventLocked(text); });
  }
  bool HasEvent(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return HasEventLocked(text);
  }
  bool HasEventLocked(const std::string& text) const {
    for (const std::string& e : events_) {
      if (e.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::size_t EventCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }

  TempDir root_, work_;
  int recv_port_ = 0;
  WorkerTiming timing_;
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  const std::atomic<int>* maintenance_stop_ = nullptr;
};

TEST_F(WorkerThreaded, HundredEntriesLoadAndEveryClientGetsASession) {
  SeedRows(1, 100, "dom");
  SeedRows(2, 100, "10.0.0.");
  Start();
  Connection client;
  ASSERT_TRUE(ConnectToWorker(client));
  // The session relays to the configured backend, where nothing listens.
  EXPECT_EQ(ReadToEnd(client), "421 Error MailserverDevice I/O error\r\n");
  StopAndJoin();

  EXPECT_EQ(EventCount(), 0u);
  ASSERT_EQ(AcceptedDomains.size(), 100u);
  EXPECT_EQ(AcceptedDomains.front(), "DOM0");
  ASSERT_EQ(RelayAddresses.size(), 100u);
  EXPECT_EQ(RelayAddresses.back(), "10.0.0.99");
  ASSERT_NE(CurrentSettings(), nullptr);
  EXPECT_EQ(CurrentSettings()->RecvPort, recv_port_);
  EXPECT_EQ(CurrentSettings()->WorkDir, work_.path());
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(maintenance_stop_, &StopRequested);
}

TEST_F(WorkerThreaded, TooManyDomainsEndTheWorkerWithoutListener) {
  SeedRows(1, 101, "dom");
  Start();
  EXPECT_TRUE(WaitForEvent(kTooManyDomains));
  StopAndJoin();
  EXPECT_FALSE(HasEvent("Netzwerkverbindung"));
  Connection probe;
  EXPECT_FALSE(OpenConnection("127.0.0.1", recv_port_, session_test::kPeerTimeoutMs, probe));
}

TEST_F(WorkerThreaded, TooManyRelayAddressesEndTheWorker) {
  SeedRows(1, 100, "dom");
  SeedRows(2, 101, "10.0.0.");
  Start();
  EXPECT_TRUE(WaitForEvent(kTooManyRelays));
  StopAndJoin();
  EXPECT_FALSE(HasEvent(kTooManyDomains));
  EXPECT_FALSE(HasEvent("Netzwerkverbindung"));
}

TEST_F(WorkerThreaded, NoDatabaseIsReported) {
  Set("WorkDir", work_.path() + "missing/folder");
  Start();
  EXPECT_TRUE(WaitForEvent(kNoDatabase));
  StopAndJoin();
}

TEST_F(WorkerThreaded, ListenerFailureIsReportedAndAStopEndsThePause) {
  Connection squatter;  // holds the receive port
  ASSERT_TRUE(OpenListener(ResolveHost("127.0.0.1"), recv_port_, 1000, squatter));
  Start();
  EXPECT_TRUE(WaitForEvent(kListenerBroken));
  StopRequested = 1;
  worker_.join();  // inside the 60 s pause, which the stop cuts short
}

}  // namespace
}  // namespace brenvik
