#pragma once
// A-record queries through c-ares: several names at once, each bounded by a
// time-out, with the answers' TTLs. No thread is left behind: a query not
// answered in time is cancelled.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace brenvik {

struct DnsAnswer {
  enum class Status {
    Addresses,  // the name has A records
    NoName,     // NXDOMAIN, or the name has no A record
    Failed,     // no answer in time, a server failure, a refusal
  };
  Status status = Status::Failed;
  std::vector<std::uint32_t> addresses;  // network byte order, as answered
  int ttl_seconds = 0;                   // smallest TTL of the addresses
};

// The A records of every name, in the order of `names`, all asked at once
// and all given up after `timeout`. `server` is "" for the resolvers of
// /etc/resolv.conf, or "address" / "address:port" of one DNS server.
std::vector<DnsAnswer> QueryAddresses(const std::vector<std::string>& names, const std::string& server,
                                      std::chrono::milliseconds timeout);

}  // namespace brenvik
