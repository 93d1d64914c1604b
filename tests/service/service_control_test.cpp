// The control loop taking real signals, and the stop sequence's wake-up
// connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <vector>

#include "service/service_main.h"
#include "store/settings.h"

namespace brenvik {
namespace {

class ControlLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const sigset_t set = ControlSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, &old_mask_);
  }
  void TearDown() override {
    // Take what is still pending before the mask goes back.
    const sigset_t set = ControlSignalSet();
    const timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  sigset_t old_mask_;
};

// Each report raises the next signal of the script, so the order is the
// script's order whatever the signal numbers.
ServiceState RunScript(const std::vector<int>& script, std::vector<ServiceState>& reports) {
  std::size_t next = 0;
  raise(script[next++]);
  return RunControlLoop(ServiceState::Running,
                        [&](ServiceState s) {
                          reports.push_back(s);
                          if (next < script.size()) raise(script[next++]);
                        },
                        50);
}

TEST_F(ControlLoopTest, PauseInterrogateContinueThenStop) {
  std::vector<ServiceState> reports;
  const auto final_state = RunScript({SIGUSR1, SIGHUP, SIGUSR2, SIGHUP, SIGTERM}, reports);
  EXPECT_EQ(reports, (std::vector<ServiceState>{ServiceState::Paused, ServiceState::Paused,
                                                 ServiceState::Running, ServiceState::Running}));
  EXPECT_EQ(final_state, ServiceState::Running);
}

TEST_F(ControlLoopTest, StopShutdownAndInterruptEndTheLoopWithoutReport) {
  for (int stop : {SIGTERM, SIGINT, SIGPWR}) {
    std::vector<ServiceState> reports;
    RunScript({stop}, reports);
    EXPECT_TRUE(reports.empty()) << stop;
  }
}

TEST_F(ControlLoopTest, StopWhilePausedEndsPaused) {
  std::vector<ServiceState> reports;
  EXPECT_EQ(RunScript({SIGUSR1, SIGPWR}, reports), ServiceState::Paused);
  EXPECT_EQ(reports, (std::vector<ServiceState>{ServiceState::Paused}));
}

// The first IPv4 address of this computer's host name, 0 if none.
in_addr_t OwnHostAddress() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) return 0;
  const in_addr_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return address;
}

TEST(WakeWorker, ConnectsToTheHostNameOnThePort) {
  const in_addr_t address = OwnHostAddress();
  if ((ntohl(address) >> 24) != 127) GTEST_SKIP() << "host name does not resolve to loopback";
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = address;
  socklen_t length = sizeof bound;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
  ASSERT_EQ(listen(listener, 5), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length), 0);

  WakeWorker(ntohs(bound.sin_port), 5000);

  pollfd waiting{listener, POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 5000), 1);
  const int accepted = accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  // Closed at once: the gateway's side reads the end straight away.
  char byte;
  EXPECT_EQ(recv(accepted, &byte, 1, 0), 0);
  close(accepted);

  // Nobody listening any more: the attempt fails and returns.
  close(listener);
  WakeWorker(ntohs(bound.sin_port), 5000);
}

TEST(ReceivePort, FromThePublishedSettingsElse25) {
  EXPECT_EQ(ReceivePort(), 25);
  auto settings = std::make_shared<GatewaySettings>();
  settings->RecvPort = 2526;
  PublishSettings(settings);
  EXPECT_EQ(ReceivePort(), 2526);
}

}  // namespace
}  // namespace brenvik
