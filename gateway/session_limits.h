#pragma once
// Who may start a session now: at most so many sessions at once, at most so
// many per client address, and one client's sessions spaced by the accept
// pause. Other clients are never held up by one client's sessions.
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace brenvik {

enum class Admission {
  Admitted,     // start the session (at its greeting time)
  ClientFull,   // "421 4.7.0 Too many connections from your address"
  ServiceBusy,  // "421 4.3.2 Service busy, try again later"
};

struct SessionLimits {
  int max_sessions = 1000;   // sessions at once, all clients together
  int max_per_client = 10;   // sessions at once from one address
  int pause_ms = 500;        // between the greetings of one address
};

class SessionGate;

// An admitted session's place; gives it back when destroyed. Movable.
class SessionTicket {
 public:
  SessionTicket() = default;
  SessionTicket(std::shared_ptr<SessionGate> gate, std::string client);
  ~SessionTicket();
  SessionTicket(SessionTicket&&) noexcept = default;
  SessionTicket& operator=(SessionTicket&&) noexcept;
  SessionTicket(const SessionTicket&) = delete;
  SessionTicket& operator=(const SessionTicket&) = delete;

 private:
  std::shared_ptr<SessionGate> gate_;  // null: nothing to give back
  std::string client_;                 // address the place was counted for
};

// Counts the running sessions per client address (its text form, so that
// IPv6 addresses count the same way). Thread-safe.
class SessionGate : public std::enable_shared_from_this<SessionGate> {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SessionGate(SessionLimits limits) : limits_(limits) {}

  // Admitted: `ticket` holds the place and `greet_at` is the earliest time
  // the session may greet (its address's previous greeting plus the pause).
  // `unlimited_client` (the relay list) is not held to max_per_client.
  Admission Admit(const std::string& client, bool unlimited_client, Clock::time_point now, SessionTicket& ticket,
                  Clock::time_point& greet_at);
  std::size_t Sessions() const;
  // Addresses remembered (running sessions or a pause still to keep).
  std::size_t Clients() const;

 private:
  friend class SessionTicket;
  struct Client {
    int sessions = 0;                  // running now
    Clock::time_point last_greeting;   // of its latest admitted session
  };
  void Release(const std::string& client);
  void ForgetIdleClients(Clock::time_point now);  // caller holds mutex_

  const SessionLimits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Client> clients_;
  std::size_t sessions_ = 0;
  Clock::time_point last_sweep_;
};

// Raises the soft open-file limit to the hard one; returns the soft limit
// in force afterwards.
long RaiseDescriptorLimit();
// Descriptors open in this process now.
long OpenDescriptors();
// The most sessions the descriptors allow: each takes three (client,
// backend, transcript) beside those already open and a reserve for the
// database, the journal and DNS; never above `configured`, never below 1.
int SessionsWithinDescriptors(int configured, long descriptor_limit, long open_now);

}  // namespace brenvik
