#include "gateway/dns_query.h"

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>

#include <algorithm>
#include <mutex>

namespace brenvik {

namespace {

constexpr int kTries = 2;               // per server, within the time-out
constexpr int kMaxAddressesRead = 16;   // A records read from one answer

using Clock = std::chrono::steady_clock;

// c-ares' global set-up is not thread-safe; done once, kept for the process.
bool LibraryReady() {
  static std::once_flag once;
  static int status = ARES_SUCCESS;
  std::call_once(once, [] { status = ares_library_init(ARES_LIB_INIT_ALL); });
  return status == ARES_SUCCESS;
}

void OnAnswer(void* arg, int status, int /*timeouts*/, unsigned char* abuf, int alen) {
  auto* answer = static_cast<DnsAnswer*>(arg);
  if (status == ARES_ENOTFOUND || status == ARES_ENODATA) {
    answer->status = DnsAnswer::Status::NoName;
    return;
  }
  if (status != ARES_SUCCESS || abuf == nullptr) return;  // stays Failed
  hostent* host = nullptr;
  ares_addrttl records[kMaxAddressesRead];
  int count = kMaxAddressesRead;
  const int parsed = ares_parse_a_reply(abuf, alen, &host, records, &count);
  if (host != nullptr) ares_free_hostent(host);
  if (parsed == ARES_ENODATA || (parsed == ARES_SUCCESS && count == 0)) {
    answer->status = DnsAnswer::Status::NoName;
    return;
  }
  if (parsed != ARES_SUCCESS) return;
  answer->status = DnsAnswer::Status::Addresses;
  answer->ttl_seconds = records[0].ttl;
  for (int i = 0; i < count; ++i) {
    answer->addresses.push_back(records[i].ipaddr.s_addr);
    answer->ttl_seconds = std::min(answer->ttl_seconds, records[i].ttl);
  }
  answer->ttl_seconds = std::max(answer->ttl_seconds, 0);
}

// Drives the channel's sockets until every query has been answered or the
// deadline has passed.
void RunChannel(ares_channel channel, Clock::time_point deadline) {
  for (;;) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    pollfd watched[ARES_GETSOCK_MAXNUM];
    int n = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
      const bool readable = ARES_GETSOCK_READABLE(bits, i), writable = ARES_GETSOCK_WRITABLE(bits, i);
      if (!readable && !writable) continue;
      watched[n++] = pollfd{sockets[i], static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0)), 0};
    }
    if (n == 0) return;  // nothing outstanding
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    timeval most{static_cast<time_t>(left.count() / 1000), static_cast<suseconds_t>(left.count() % 1000 * 1000)};
    timeval wait{};
    const timeval* next = ares_timeout(channel, &most, &wait);
    const int wait_ms = static_cast<int>(next->tv_sec * 1000 + next->tv_usec / 1000);
    if (poll(watched, static_cast<nfds_t>(n), std::max(wait_ms, 1)) <= 0) {
      ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs and retries
      continue;
    }
    for (int i = 0; i < n; ++i) {
      const short seen = watched[i].revents;
      ares_process_fd(channel, seen & (POLLIN | POLLERR | POLLHUP) ? watched[i].fd : ARES_SOCKET_BAD,
                      seen & POLLOUT ? watched[i].fd : ARES_SOCKET_BAD);
    }
  }
}

}  // namespace

std::vector<DnsAnswer> QueryAddresses(const std::vector<std::string>& names, const std::string& server,
                                      std::chrono::milliseconds timeout) {
  std::vector<DnsAnswer> answers(names.size());
  if (names.empty() || !LibraryReady()) return answers;
  ares_options options{};
  options.timeout = static_cast<int>(std::max<long long>(timeout.count() / kTries, 1));
  options.tries = kTries;
  options.flags = ARES_FLAG_NOSEARCH;
  ares_channel channel = nullptr;
  if (ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS) != ARES_SUCCESS)
    return answers;
  if (server.empty() || ares_set_servers_ports_csv(channel, server.c_str()) == ARES_SUCCESS) {
    for (std::size_t i = 0; i < names.size(); ++i)
      ares_query(channel, names[i].c_str(), ns_c_in, ns_t_a, OnAnswer, &answers[i]);
    RunChannel(channel, Clock::now() + timeout);
  }
  ares_destroy(channel);  // what is still open is answered ARES_EDESTRUCTION: Failed
  return answers;
}

}  // namespace brenvik
