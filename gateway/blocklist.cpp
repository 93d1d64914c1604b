// DNS blocklist lookup: the client's reversed IPv4 octets below a public
// zone that answers listings only.
#include "gateway/blocklist.h"

#include <arpa/inet.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "gateway/dns_query.h"
#include "maintenance/event_log.h"

namespace brenvik {

const char* const kBlocklistZone = "bl.spamcop.net";

namespace {

using Clock = std::chrono::steady_clock;

// A query not answered by then counts as not listed.
constexpr auto kQueryTimeout = std::chrono::seconds(3);
constexpr int kMaxTtlSeconds = 3600;       // answers kept at most this long
constexpr int kNegativeTtlSeconds = 300;   // "no such name" kept this long
constexpr std::size_t kMaxCachedAnswers = 10000;
constexpr auto kProblemEventInterval = std::chrono::hours(1);
constexpr auto kHealthInterval = std::chrono::hours(1);
constexpr auto kStopCheckStep = std::chrono::milliseconds(200);

// RFC 5782's test entries: 127.0.0.2 must be listed, 127.0.0.1 must not.
constexpr const char* kListedTestEntry = "2.0.0.127.";
constexpr const char* kUnlistedTestEntry = "1.0.0.127.";

// Event texts; the zone follows kEventList, then the part named.
constexpr const char* kEventList = "Blocklist ";
constexpr const char* kErrorPrefix = "FEHLER: ";
constexpr const char* kErrorAnswer = " antwortet mit Fehlercode, nicht gelistet / answers with an error code, not listed: ";
constexpr const char* kBrokenAnswer = " gibt ungueltige Antwort, nicht gelistet / gives a broken answer, not listed: ";
constexpr const char* kSuspended = " ausgesetzt / not consulted: ";
constexpr const char* kResumed = " wieder in Betrieb / consulted again";
constexpr const char* kListedEntryFailed = "test entry 127.0.0.2 not listed: ";
constexpr const char* kUnlistedEntryFailed = "test entry 127.0.0.1 listed: ";
constexpr const char* kNoAnswer = "no answer in time";
constexpr const char* kNoName = "no such name";

struct CachedAnswer {
  bool listed = false;
  Clock::time_point expires;
};

// One list's state, shared by all sessions and the monitor.
struct ZoneState {
  bool suspended = false;                        // its latest test-entry check failed
  Clock::time_point last_error_answer_event{};   // at most one event an hour of each kind
  Clock::time_point last_broken_answer_event{};
  std::unordered_map<std::string, CachedAnswer> cache;  // by query name
};

struct Lists {
  std::mutex mutex;
  BlocklistResolver resolver;  // empty: DNS
  std::string server;          // "" = /etc/resolv.conf
  ZoneState zone;              // kBlocklistZone
};

// Leaked on purpose: sessions may still ask after main returns.
Lists& State() {
  static auto* lists = new Lists;
  return *lists;
}

std::string AddressText(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{address};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::string AddressesText(const std::vector<std::uint32_t>& addresses) {
  std::string text;
  for (std::uint32_t a : addresses) text += (text.empty() ? "" : " ") + AddressText(a);
  return text;
}

// The installed resolver's answers (not cached: no TTL), or DNS's.
std::vector<DnsAnswer> Resolve(const std::vector<std::string>& names, bool& cacheable) {
  BlocklistResolver resolver;
  std::string server;
  {
    std::lock_guard lock(State().mutex);
    resolver = State().resolver;
    server = State().server;
  }
  cacheable = !resolver;
  if (!resolver) return QueryAddresses(names, server, kQueryTimeout);
  std::vector<DnsAnswer> answers(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::uint32_t address = 0;
    if (resolver(names[i], address) && address != 0) {
      answers[i].status = DnsAnswer::Status::Addresses;
      answers[i].addresses = {address};
    } else {
      answers[i].status = DnsAnswer::Status::NoName;
    }
  }
  return answers;
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

// An error event for an error or broken answer, unless one of its kind was
// written within the hour.
void ReportAnswerProblem(ListAnswer verdict, const DnsAnswer& answer, const std::string& name) {
  {
    std::lock_guard lock(State().mutex);
    Clock::time_point& last = verdict == ListAnswer::ErrorAnswer ? State().zone.last_error_answer_event
                                                                 : State().zone.last_broken_answer_event;
    const auto now = Clock::now();
    if (last != Clock::time_point{} && now - last < kProblemEventInterval) return;
    last = now;
  }
  ReportError(std::string(kErrorPrefix) + kEventList + kBlocklistZone +
              (verdict == ListAnswer::ErrorAnswer ? kErrorAnswer : kBrokenAnswer) + AddressesText(answer.addresses) +
              " (" + name + ")");
}

void Remember(const std::string& name, bool listed, int ttl_seconds) {
  if (ttl_seconds <= 0) return;
  std::lock_guard lock(State().mutex);
  auto& cache = State().zone.cache;
  const auto now = Clock::now();
  if (cache.size() >= kMaxCachedAnswers) std::erase_if(cache, [&](const auto& e) { return e.second.expires <= now; });
  if (cache.size() >= kMaxCachedAnswers) cache.clear();
  cache[name] = CachedAnswer{listed, now + std::chrono::seconds(std::min(ttl_seconds, kMaxTtlSeconds))};
}

// Nothing to ask (suspended, or answered within its TTL): true with the
// answer in `listed`.
bool AnsweredWithoutQuery(const std::string& name, bool& listed) {
  std::lock_guard lock(State().mutex);
  ZoneState& zone = State().zone;
  listed = false;
  if (zone.suspended) return true;
  const auto found = zone.cache.find(name);
  if (found == zone.cache.end()) return false;
  if (found->second.expires <= Clock::now()) {
    zone.cache.erase(found);
    return false;
  }
  listed = found->second.listed;
  return true;
}

// What an answer to a test entry was, for the event.
std::string Describe(const DnsAnswer& answer) {
  switch (answer.status) {
    case DnsAnswer::Status::Addresses: return AddressesText(answer.addresses);
    case DnsAnswer::Status::NoName: return kNoName;
    case DnsAnswer::Status::Failed: break;
  }
  return kNoAnswer;
}

// "" when the test entries are answered as they must be, else why not.
std::string TestEntryProblem(const DnsAnswer& listed_entry, const DnsAnswer& unlisted_entry) {
  if (listed_entry.status != DnsAnswer::Status::Addresses ||
      ReadListAnswer(listed_entry.addresses) != ListAnswer::Listed)
    return kListedEntryFailed + Describe(listed_entry);
  if (unlisted_entry.status != DnsAnswer::Status::NoName) return kUnlistedEntryFailed + Describe(unlisted_entry);
  return {};
}

}  // namespace

ListAnswer ReadListAnswer(const std::vector<std::uint32_t>& addresses) {
  bool listed = false, error = false;
  for (std::uint32_t network : addresses) {
    const std::uint32_t a = ntohl(network);
    if ((a >> 24) != 127) return ListAnswer::Broken;
    if ((a >> 8) == 0x7FFFFF) error = true;  // 127.255.255.0/24
    else if (a != 0x7F000001) listed = true;
  }
  return error ? ListAnswer::ErrorAnswer : listed ? ListAnswer::Listed : ListAnswer::NotListed;
}

void SetBlocklistResolver(BlocklistResolver resolver) {
  std::lock_guard lock(State().mutex);
  State().resolver = std::move(resolver);
}

void SetBlocklistDnsServer(std::string server) {
  std::lock_guard lock(State().mutex);
  State().server = std::move(server);
  State().zone.cache.clear();
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
  const std::string name = BlocklistQueryName(client_ip);
  if (name.empty()) return false;
  bool listed = false;
  if (AnsweredWithoutQuery(name, listed)) return listed;
  bool cacheable = false;
  const DnsAnswer answer = Resolve({name}, cacheable)[0];
  if (answer.status == DnsAnswer::Status::Failed) return false;
  const bool found = answer.status == DnsAnswer::Status::Addresses;
  const ListAnswer verdict = found ? ReadListAnswer(answer.addresses) : ListAnswer::NotListed;
  if (verdict == ListAnswer::ErrorAnswer || verdict == ListAnswer::Broken) ReportAnswerProblem(verdict, answer, name);
  listed = verdict == ListAnswer::Listed;
  if (cacheable) Remember(name, listed, found ? answer.ttl_seconds : kNegativeTtlSeconds);
  return listed;
}

void CheckBlocklistHealth() {
  const std::string zone = kBlocklistZone;
  bool cacheable = false;
  const auto answers = Resolve({kListedTestEntry + zone, kUnlistedTestEntry + zone}, cacheable);
  const std::string problem = TestEntryProblem(answers[0], answers[1]);
  bool was_suspended = false;
  {
    std::lock_guard lock(State().mutex);
    was_suspended = State().zone.suspended;
    State().zone.suspended = !problem.empty();
  }
  if (!problem.empty() && !was_suspended) ReportError(kErrorPrefix + (kEventList + zone) + kSuspended + problem);
  if (problem.empty() && was_suspended) ReportInfo(kEventList + zone + kResumed);
}

void StartBlocklistMonitor(const std::atomic<int>* stop) {
  try {
    std::thread([stop] {
      while (stop->load() == 0) {
        CheckBlocklistHealth();
        const auto next = Clock::now() + kHealthInterval;
        while (stop->load() == 0 && Clock::now() < next) std::this_thread::sleep_for(kStopCheckStep);
      }
    }).detach();
  } catch (...) {
    // No thread to be had: the list is consulted unchecked.
  }
}

}  // namespace brenvik
