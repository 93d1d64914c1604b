// The blocklist's reading of answers and its test-entry checks. The DNS
// itself is a real server in the end-to-end tests (e2e/test_blocklist.py);
// here an installed resolver steps the list through its states.
#include "gateway/blocklist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "maintenance/event_log.h"

namespace brenvik {
namespace {

std::uint32_t Address(const char* dotted) { return inet_addr(dotted); }

TEST(ReadListAnswer, OnlyLoopbackOtherThanOneIsAListing) {
  struct Case {
    std::vector<const char*> addresses;
    ListAnswer expected;
  } cases[] = {
      {{}, ListAnswer::NotListed},
      {{"127.0.0.2"}, ListAnswer::Listed},
      {{"127.0.0.1"}, ListAnswer::NotListed},
      {{"127.0.0.1", "127.0.0.4"}, ListAnswer::Listed},
      {{"127.255.255.254"}, ListAnswer::ErrorAnswer},
      {{"127.0.0.2", "127.255.255.252"}, ListAnswer::ErrorAnswer},
      {{"127.255.254.1"}, ListAnswer::Listed},
      {{"198.51.100.7"}, ListAnswer::Broken},
      {{"127.0.0.2", "0.0.0.0"}, ListAnswer::Broken},
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> addresses;
    for (const char* a : c.addresses) addresses.push_back(Address(a));
    EXPECT_EQ(ReadListAnswer(addresses), c.expected) << (c.addresses.empty() ? "none" : c.addresses.back());
  }
}

TEST(BlocklistHealth, SuspendsOnFailedTestEntriesAndTakesTheListBackWithOneEventEachWay) {
  const std::string listed_entry = std::string("2.0.0.127.") + kBlocklistZone;
  const std::string unlisted_entry = std::string("1.0.0.127.") + kBlocklistZone;
  std::mutex mutex;
  std::map<std::string, const char*> zone;  // name -> answer, absent: no such name
  std::vector<std::string> queries, events;
  SetBlocklistResolver([&](const std::string& name, std::uint32_t& address) {
    std::lock_guard lock(mutex);
    queries.push_back(name);
    const auto found = zone.find(name);
    address = found == zone.end() ? 0 : Address(found->second);
    return found != zone.end();
  });
  SetEventObserver([&](std::uint32_t, int, const std::string& rendered) {
    std::lock_guard lock(mutex);
    events.push_back(rendered);
  });
  struct Step {
    const char* listed_entry_answer;    // nullptr: no such name
    const char* unlisted_entry_answer;
    bool consulted;                     // the client's query is made afterwards
    std::string event;                  // "" = none
  } steps[] = {
      {"127.0.0.2", nullptr, true, ""},
      {"198.51.100.7", "198.51.100.7", false,
       "Ein Fehler ist aufgetreten: FEHLER: Blocklist bl.spamcop.net ausgesetzt / not consulted: "
       "test entry 127.0.0.2 not listed: 198.51.100.7"},
      {"198.51.100.7", "198.51.100.7", false, ""},  // still failing: no second event
      {"127.0.0.2", "127.0.0.2", false, ""},
      {"127.0.0.2", nullptr, true, "Erfolgsmeldung: Blocklist bl.spamcop.net wieder in Betrieb / consulted again"},
  };
  for (const Step& step : steps) {
    {
      std::lock_guard lock(mutex);
      zone.clear();
      if (step.listed_entry_answer) zone[listed_entry] = step.listed_entry_answer;
      if (step.unlisted_entry_answer) zone[unlisted_entry] = step.unlisted_entry_answer;
      zone["1.2.0.192.bl.spamcop.net"] = "127.0.0.2";
      queries.clear();
      events.clear();
    }
    CheckBlocklistHealth();
    EXPECT_EQ(CheckBlocklist("192.0.2.1", true), step.consulted);
    std::lock_guard lock(mutex);
    EXPECT_EQ(queries.size(), step.consulted ? 3u : 2u);
    EXPECT_EQ(events, step.event.empty() ? std::vector<std::string>{} : std::vector<std::string>{step.event});
  }
  SetEventObserver({});
  SetBlocklistResolver(nullptr);
}

}  // namespace
}  // namespace brenvik
