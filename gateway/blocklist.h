#pragma once
// DNS blocklist lookup of a client's IPv4 address, its answers read as
// RFC 5782 says, cached for their TTL, and each list's test entries checked
// at start and hourly: a list that fails them is not consulted (fail open).
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

// The blocklist zone queried (a listings-only public zone).
extern const char* const kBlocklistZone;

// What one answer says (RFC 5782).
enum class ListAnswer {
  NotListed,    // no such name, no A record, or only 127.0.0.1
  Listed,       // an A record in 127.0.0.0/8 other than 127.0.0.1
  ErrorAnswer,  // 127.255.255.0/24: the list refuses to answer (not listed)
  Broken,       // an address outside 127.0.0.0/8: a parked or broken zone (not listed)
};
ListAnswer ReadListAnswer(const std::vector<std::uint32_t>& addresses);  // network byte order

// Resolves a query name; true with the first IPv4 address (network byte
// order) when the name has one. Tests may install one in place of DNS;
// its answers are not cached.
using BlocklistResolver = std::function<bool(const std::string& query_name, std::uint32_t& first_address)>;

// Replaces the resolver (tests); an empty function restores DNS.
void SetBlocklistResolver(BlocklistResolver resolver);
// The DNS server asked: "" for the resolvers of /etc/resolv.conf, or
// "address" / "address:port".
void SetBlocklistDnsServer(std::string server);

// "d.c.b.a." + zone for client "a.b.c.d"; "" when the client is not a
// dotted IPv4 address (four decimal fields of 0..255).
std::string BlocklistQueryName(std::string_view client_ip);

// True = listed. Not listed without a query when check_enabled is false,
// the client is not dotted IPv4 or the list is suspended; not listed on
// every failure or time-out (a few seconds), on an error answer and on a
// broken one (each with an error event, at most hourly). Answers are kept
// for their TTL (at most an hour), so a sender's retries ask once.
bool CheckBlocklist(std::string_view client_ip, bool check_enabled);

// Asks each list for its test entries (2.0.0.127 must be listed, 1.0.0.127
// must not): a list that fails is suspended with an error event saying why,
// one that passes again is taken back with an information event.
void CheckBlocklistHealth();
// CheckBlocklistHealth at once and then hourly, in a thread of its own,
// until *stop is set.
void StartBlocklistMonitor(const std::atomic<int>* stop);

}  // namespace brenvik
