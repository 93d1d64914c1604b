#pragma once
// Process-wide state of the gateway: filled by the worker before its first
// session, read by every session afterwards without locks.
#include <atomic>
#include <string>
#include <vector>

namespace brenvik {

inline constexpr std::size_t kMaxListEntries = 100;

// SpamSystem rows of Typ 1 as domain keys (DomainEntryKey), in database
// order (at most 100); rows that are no domain are left out.
extern std::vector<std::string> AcceptedDomains;
// SpamSystem rows of Typ 2, exactly as stored (at most 100).
extern std::vector<std::string> RelayAddresses;
// Set once by the stop sequence; polled by the worker and maintenance.
extern std::atomic<int> StopRequested;

}  // namespace brenvik
