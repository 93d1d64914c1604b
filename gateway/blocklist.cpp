// DNS blocklist lookup: the client's reversed IPv4 octets below a public
// zone that answers listings only.
#include "gateway/blocklist.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brenvik {

const char* const kBlocklistZone = "bl.spamcop.net";

namespace {

// A lookup the resolver has not answered by then counts as not listed.
constexpr auto kLookupTimeout = std::chrono::seconds(3);
// Lookups still running after their time-out keep a thread each; beyond
// this many, further checks answer not listed without a query.
constexpr int kMaxOutstandingLookups = 64;

std::atomic<int> outstanding_lookups{0};

// Shared between the waiting session and the thread that asks the resolver,
// so either may finish first.
struct LookupState {
  std::mutex mutex;
  std::condition_variable done_signal;
  bool done = false;
  bool found = false;
  std::uint32_t address = 0;
};

void RunLookup(const std::string& name, const std::shared_ptr<LookupState>& state) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  bool found = false;
  std::uint32_t address = 0;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
        address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        found = true;
        break;
      }
    }
  }
  if (result != nullptr) freeaddrinfo(result);
  {
    std::lock_guard lock(state->mutex);
    state->found = found;
    state->address = address;
    state->done = true;
  }
  state->done_signal.notify_all();
}

// The system resolver, bounded by kLookupTimeout.
bool SystemResolve(const std::string& query_name, std::uint32_t& first_address) {
  if (outstanding_lookups.fetch_add(1) >= kMaxOutstandingLookups) {
    outstanding_lookups.fetch_sub(1);
    return false;
  }
  auto state = std::make_shared<LookupState>();
  try {
    std::thread([name = query_name, state] {
      RunLookup(name, state);
      outstanding_lookups.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    outstanding_lookups.fetch_sub(1);
    return false;
  }
  std::unique_lock lock(state->mutex);
  if (!state->done_signal.wait_for(lock, kLookupTimeout, [&] { return state->done; })) return false;
  first_address = state->address;
  return state->found;
}

std::mutex resolver_mutex;
BlocklistResolver& InstalledResolver() {
  static BlocklistResolver* resolver = new BlocklistResolver;  // empty = system
  return *resolver;
}

// The four fields of a dotted IPv4 address (1 to 3 digits, at most 255
// each); false for anything else.
bool SplitDottedQuad(std::string_view ip, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t start = 0;
  bool at_end = false;
  while (fields.size() < 4 && !at_end) {
    std::size_t dot = ip.find('.', start);
    std::string_view field = ip.substr(start, dot == std::string_view::npos ? ip.npos : dot - start);
    if (field.empty() || field.size() > 3) return false;
    int value = 0;
    for (char c : field) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    fields.push_back(field);
    at_end = dot == std::string_view::npos;
    start = dot + 1;
  }
  return fields.size() == 4 && at_end;
}

}  // namespace

void SetBlocklistResolver(BlocklistResolver resolver) {
  std::lock_guard lock(resolver_mutex);
  InstalledResolver() = std::move(resolver);
}

std::string BlocklistQueryName(std::string_view client_ip) {
  std::vector<std::string_view> fields;
  if (!SplitDottedQuad(client_ip, fields)) return {};
  std::string name;
  for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
    name += *it;
    name += '.';
  }
  return name + kBlocklistZone;
}

bool CheckBlocklist(std::string_view client_ip, bool check_enabled) {
  if (!check_enabled) return false;
  const std::string query_name = BlocklistQueryName(client_ip);
  if (query_name.empty()) return false;
  BlocklistResolver resolver;
  {
    std::lock_guard lock(resolver_mutex);
    resolver = InstalledResolver();
  }
  std::uint32_t first_address = 0;
  bool answered = resolver ? resolver(query_name, first_address)
                           : SystemResolve(query_name, first_address);
  return answered && first_address != 0;
}

}  // namespace brenvik
