#pragma once
// DNS blocklist lookup of a client's IPv4 address.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brenvik {

// The blocklist zone queried (a listings-only public zone).
extern const char* const kBlocklistZone;

// Resolves a query name; true with the first IPv4 address (network byte
// order) when the name has one. Production resolves through the system
// resolver, bounded by a few seconds.
using BlocklistResolver = std::function<bool(const std::string& query_name, std::uint32_t& first_address)>;

// Replaces the resolver (tests); an empty function restores the system one.
void SetBlocklistResolver(BlocklistResolver resolver);

// "d.c.b.a." + zone for client "a.b.c.d"; "" when the client is not a
// dotted IPv4 address (four decimal fields of 0..255).
std::string BlocklistQueryName(std::string_view client_ip);

// True = listed: the first address of the answer is not 0.0.0.0. Not
// listed without a query when check_enabled is false or the client is not
// dotted IPv4, and on every lookup failure or time-out.
bool CheckBlocklist(std::string_view client_ip, bool check_enabled);

}  // namespace brenvik
