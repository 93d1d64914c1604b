#pragma once
// One line per SMTP session in the system log (identifier Brenvik, info
// priority), with its values also as journal fields, so that for example
// `journalctl -t Brenvik BRENVIK_DECISION=greylisted` finds the deferrals.
// Not an event: the event texts stay as they are.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

struct SessionSummary {
  // Senders and recipients kept per session; later ones are only counted.
  static constexpr std::size_t kMaxListed = 50;

  struct Sender {
    std::string key;       // greylist key (or the path, relay-allowed)
    std::string decision;  // relay-allowed, whitelisted, greylisted, ...
  };
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::string client;                  // client address, "" when unknown
  std::string helo;                    // last HELO/EHLO argument
  std::vector<Sender> senders;         // at most kMaxListed
  std::vector<std::string> accepted;   // recipients the backend accepted
  std::vector<std::string> refused;    // recipients refused (gateway or backend)
  std::size_t unlisted = 0;            // senders and recipients past kMaxListed
  std::uint64_t data_bytes = 0;        // client data bytes relayed, marks included
  std::string data_reply;              // backend's final answer to the last data
  std::string end;                     // QUIT, refused recipient, or the failure
  bool tls = false;                    // the session ran over TLS

  void AddSender(std::string_view key, std::string_view decision);
  void AddRecipient(std::string_view path, bool was_accepted);
};

// The one-line text of the record (without the journal fields).
std::string SessionLine(const SessionSummary& summary);

// Sends the line with its fields in one journal call from the calling
// thread (syslog when there is no journal); never blocks on other sessions.
void WriteSessionLine(const SessionSummary& summary);

// A plain information line in the system log, not an event (for example
// the system's own words for a failed listener beside its event).
void WriteSystemLogInfo(std::string_view line);

}  // namespace brenvik
