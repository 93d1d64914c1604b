#pragma once
// Process-wide state of the gateway: filled by the worker before its first
// session, read by every session afterwards without locks.
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

inline constexpr std::size_t kMaxListEntries = 100;

// SpamSystem rows of Typ 1, UpperCase'd, in database order (at most 100).
extern std::vector<std::string> AcceptedDomains;
// SpamSystem rows of Typ 2, exactly as stored (at most 100).
extern std::vector<std::string> RelayAddresses;
// Set once by the stop sequence; polled by the worker and maintenance.
extern std::atomic<int> StopRequested;

// a..z -> A..Z and the seven code page 437 letters to their capitals.
std::string UpperCase(std::string_view text);
// True when both read the same after UpperCase.
bool EqualsUpperCase(std::string_view a, std::string_view b);

}  // namespace brenvik
