#pragma once
// One client connection relayed line by line to the backend mail server.
#include <functional>
#include <string>

#include "gateway/connection.h"
#include "store/settings.h"

namespace brenvik {

// Time-outs and pacing of a session; production uses the defaults, tests
// shorten them.
struct SessionTiming {
  int backend_timeout_ms = 120000;   // connection to the backend
  int data_pause_ms = 500;           // pause after each data read
  std::size_t data_read_max = 50000; // bytes per data read
  // The mail data must come at least this fast on average, after a start
  // of one client time-out (the gateway's own pauses not counted).
  int min_data_rate = 2000;          // bytes per second
  int session_limit_ms = 7200000;    // a whole session at most (2 hours)
  // Called once, just before the client's connection is closed, so that a
  // client that reconnects at once finds its place free.
  std::function<void()> before_client_close;
};

// Peer address of the socket as dotted text; "" (and an error event) when
// it cannot be found out.
std::string GetPeerAddress(int socket);

// True when the client may relay: the gateway's own receive address or an
// entry of RelayAddresses.
bool IsRelayAllowed(const std::string& client_ip, const std::string& recv_host);

// Serves `client` to its end and closes it. Reads the published settings
// and the lists of gateway_state.h. With `tls` the client is offered
// STARTTLS; without it STARTTLS is refused as before.
void RelaySession(Connection client, const GatewaySettings& settings,
                  const SessionTiming& timing = SessionTiming{}, const TlsServerContext* tls = nullptr);

}  // namespace brenvik
