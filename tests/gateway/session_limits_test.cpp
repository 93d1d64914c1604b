// The session gate's counting and spacing, on a clock the test sets.
#include "gateway/session_limits.h"

#include <gtest/gtest.h>

#include <vector>

namespace brenvik {
namespace {

using Clock = SessionGate::Clock;
using std::chrono::milliseconds;

struct Attempt {
  const char* client;
  bool unlimited;            // on the relay list
  int at_ms;                 // since the test's start
  Admission expected;
  int greet_ms;              // expected greeting time when admitted
  int release_before = -1;   // give back the ticket of this earlier attempt first
};

TEST(SessionGate, CountsPerClientAndAllTogetherAndSpacesOneClientsGreetings) {
  const SessionLimits limits{4, 2, 500};
  const Attempt attempts[] = {
      {"192.0.2.1", false, 0, Admission::Admitted, 0},
      {"192.0.2.1", false, 10, Admission::Admitted, 500},      // spaced after the first
      {"192.0.2.1", false, 20, Admission::ClientFull, 0},      // third at once
      {"192.0.2.2", false, 30, Admission::Admitted, 30},       // another address: not held up
      {"192.0.2.1", false, 40, Admission::Admitted, 1000, 0},  // a place freed, still spaced
      {"192.0.2.3", true, 50, Admission::Admitted, 50},        // four running: the last place
      {"192.0.2.3", true, 60, Admission::ServiceBusy, 0},      // the relay list too is counted in all
      {"192.0.2.3", true, 70, Admission::Admitted, 550, 3},    // but not per address
      {"192.0.2.3", true, 80, Admission::ServiceBusy, 0},
  };
  auto gate = std::make_shared<SessionGate>(limits);
  const Clock::time_point start = Clock::now();
  std::vector<SessionTicket> tickets(std::size(attempts));
  for (std::size_t i = 0; i < std::size(attempts); ++i) {
    const Attempt& a = attempts[i];
    if (a.release_before >= 0) tickets[a.release_before] = SessionTicket();
    Clock::time_point greet_at{};
    EXPECT_EQ(gate->Admit(a.client, a.unlimited, start + milliseconds(a.at_ms), tickets[i], greet_at), a.expected)
        << "attempt " << i;
    if (a.expected == Admission::Admitted) {
      EXPECT_EQ(greet_at, start + milliseconds(a.greet_ms)) << "attempt " << i;
    }
  }
  EXPECT_EQ(gate->Sessions(), 4u);
  tickets.clear();
  EXPECT_EQ(gate->Sessions(), 0u);
  // Idle addresses are forgotten once their pause has passed.
  SessionTicket late;
  Clock::time_point greet_at{};
  gate->Admit("192.0.2.9", false, start + std::chrono::seconds(60), late, greet_at);
  EXPECT_EQ(gate->Clients(), 1u);
}

TEST(SessionsWithinDescriptors, LeavesThreePerSessionBesideTheOpenOnesAndAReserve) {
  struct Case {
    int configured;
    long limit, open_now;
    int expected;
  } cases[] = {
      {1000, 524288, 12, 1000},  // plenty
      {1000, 1024, 12, 316},     // systemd's default soft limit: (1024 - 12 - 64) / 3
      {1000, 64, 30, 1},         // hopeless, yet one session
      {1000, -1, 12, 1000},      // limit unknown
  };
  for (const Case& c : cases)
    EXPECT_EQ(SessionsWithinDescriptors(c.configured, c.limit, c.open_now), c.expected) << c.limit;
}

}  // namespace
}  // namespace brenvik
