#include "gateway/session_limits.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace brenvik {

namespace {

constexpr long kDescriptorsPerSession = 3;   // client, backend, transcript
constexpr long kDescriptorReserve = 64;      // database pool, journal, DNS, a refused client
constexpr auto kSweepInterval = std::chrono::seconds(10);

}  // namespace

SessionTicket::SessionTicket(std::shared_ptr<SessionGate> gate, std::string client)
    : gate_(std::move(gate)), client_(std::move(client)) {}

SessionTicket::~SessionTicket() {
  if (gate_) gate_->Release(client_);
}

SessionTicket& SessionTicket::operator=(SessionTicket&& other) noexcept {
  if (this != &other) {
    if (gate_) gate_->Release(client_);
    gate_ = std::move(other.gate_);
    client_ = std::move(other.client_);
  }
  return *this;
}

Admission SessionGate::Admit(const std::string& client, bool unlimited_client, Clock::time_point now,
                             SessionTicket& ticket, Clock::time_point& greet_at) {
  std::lock_guard lock(mutex_);
  ForgetIdleClients(now);
  auto found = clients_.find(client);
  if (!unlimited_client && found != clients_.end() && found->second.sessions >= limits_.max_per_client)
    return Admission::ClientFull;
  if (sessions_ >= static_cast<std::size_t>(std::max(limits_.max_sessions, 1))) return Admission::ServiceBusy;
  if (found == clients_.end()) {
    found = clients_.emplace(client, Client{}).first;
    greet_at = now;
  } else {
    greet_at = std::max(now, found->second.last_greeting + std::chrono::milliseconds(limits_.pause_ms));
  }
  found->second.last_greeting = greet_at;
  ++found->second.sessions;
  ++sessions_;
  ticket = SessionTicket(shared_from_this(), client);
  return Admission::Admitted;
}

void SessionGate::Release(const std::string& client) {
  std::lock_guard lock(mutex_);
  auto found = clients_.find(client);
  if (found == clients_.end() || found->second.sessions == 0) return;
  --found->second.sessions;
  --sessions_;
}

// Addresses without sessions whose pause has passed carry nothing more.
void SessionGate::ForgetIdleClients(Clock::time_point now) {
  if (now - last_sweep_ < kSweepInterval) return;
  last_sweep_ = now;
  const auto pause = std::chrono::milliseconds(limits_.pause_ms);
  std::erase_if(clients_, [&](const auto& entry) {
    return entry.second.sessions == 0 && entry.second.last_greeting + pause <= now;
  });
}

std::size_t SessionGate::Sessions() const {
  std::lock_guard lock(mutex_);
  return sessions_;
}

std::size_t SessionGate::Clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

long RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<long>::max() : static_cast<long>(limit.rlim_cur);
}

long OpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  long count = -1;  // the folder's own descriptor
  while (readdir(folder) != nullptr) ++count;
  closedir(folder);
  return std::max(count - 2, 0L);  // "." and ".."
}

int SessionsWithinDescriptors(int configured, long descriptor_limit, long open_now) {
  if (descriptor_limit < 0) return configured;  // limit unknown: nothing to go by
  const long room = (descriptor_limit - open_now - kDescriptorReserve) / kDescriptorsPerSession;
  return static_cast<int>(std::clamp<long>(room, 1, std::max(configured, 1)));
}

}  // namespace brenvik
