#include "store/settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <limits>
#include <map>
#include <vector>

#include "store/registry.h"
#include "tests/store/store_test_support.h"

namespace brenvik {
namespace {

TEST(ParseLeadingNumber, TakesTheDigitsAfterBlanksTabsAndLineFeeds) {
  struct Case {
    const char* text;
    std::int32_t number;
  } cases[] = {
      {"25", 25},  {" \t\n 2525", 2525}, {"8025abc", 8025}, {"", 0},   {"abc", 0},   {"-5", 0},
      {"+5", 0},   {"\r25", 0},          {"1 2", 1},        {"007", 7},
      {"99999999999", std::numeric_limits<std::int32_t>::max()},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLeadingNumber(c.text), c.number) << '"' << c.text << '"';
}

// The record as one text, field by field in the order of the loader.
std::string Flat(const GatewaySettings& s) {
  return std::to_string(s.RecvPort) + "|" + s.RecvHost + "|" + std::to_string(s.SendPort) + "|" + s.SendHost +
         "|" + std::to_string(s.Logging) + "|" + s.WorkDir + "|" + std::to_string(s.GarbageCollector) + "|" +
         std::to_string(s.CheckBadMailAdr) + "|" + s.StatusMail + "|" + std::to_string(s.LogDB) + "|" +
         std::to_string(s.AcceptPause) + "|" + std::to_string(s.DataPause) + "|" + s.TlsCertificate + "|" +
         s.TlsKey + "|" + std::to_string(s.MaxSessions) + "|" + std::to_string(s.MaxSessionsPerClient) + "|" +
         s.BlocklistDnsServer;
}

TEST(LoadGatewaySettings, ParsesStoredValuesAndAppliesTheDefaults) {
  struct Case {
    std::map<std::string, std::string> stored;
    std::string loaded;  // "~" stands for the credentials folder
    std::vector<std::string> credentials = {};  // files in $CREDENTIALS_DIRECTORY
  } cases[] = {
      {{}, "25|localhost|25|localhost|0|/|0|0||0|500|500|||1000|10|"},
      {{{"RecvPort", "2525x"}, {"RecvHost", "0.0.0.0"}, {"SendPort", " 587"}, {"SendHost", "mail.example.com"},
        {"Logging", "2"}, {"WorkDir", "/opt/brenvik/"}, {"GarbageCollector", "1"}, {"CheckBadMailAdr", "2"},
        {"StatusMail", "admin@example.com"}, {"LogDB", "1"}, {"AcceptPause", "0"}, {"DataPause", " 20ms"},
        {"TlsCertificate", "/etc/ssl/mx.pem"}, {"TlsKey", "/etc/ssl/mx.key"}, {"MaxSessions", "200"},
        {"MaxSessionsPerClient", " 3 "}, {"BlocklistDnsServer", "127.0.0.1:5353"}},
       "2525|0.0.0.0|587|mail.example.com|2|/opt/brenvik//|1|2|admin@example.com|1|0|20|/etc/ssl/mx.pem|/etc/ssl/mx.key|"
       "200|3|127.0.0.1:5353"},
      // A pause that is empty or no number is the designed 500 ms; a huge one is cut.
      {{{"RecvPort", "0"}, {"SendPort", "smtp"}, {"WorkDir", "x"}, {"RecvHost", ""}, {"AcceptPause", ""},
        {"DataPause", "fast"}, {"MaxSessions", "many"}, {"MaxSessionsPerClient", ""}},
       "25|localhost|25|localhost|0|x/|0|0||0|500|500|||1000|10|"},
      // A limit of 0 would refuse everyone: the default; a huge one is cut.
      {{{"AcceptPause", "99999999999"}, {"DataPause", "-1"}, {"MaxSessions", "99999999999"},
        {"MaxSessionsPerClient", "0"}},
       "25|localhost|25|localhost|0|/|0|0||0|60000|500|||100000|10|"},
      // Files the service manager handed over win, each on its own.
      {{{"TlsCertificate", "/etc/ssl/mx.pem"}, {"TlsKey", "/etc/ssl/mx.key"}},
       "25|localhost|25|localhost|0|/|0|0||0|500|500|/etc/ssl/mx.pem|~/TlsKey|1000|10|",
       {"TlsKey", "tlskey"}},
      {{},
       "25|localhost|25|localhost|0|/|0|0||0|500|500|~/TlsCertificate|~/TlsKey|1000|10|",
       {"TlsCertificate", "TlsKey"}},
      // systemd could not read the file: the unit's default stands in, the path is read.
      {{{"TlsKey", "/etc/ssl/mx.key"}},
       "25|localhost|25|localhost|0|/|0|0||0|500|500|~/TlsCertificate|/etc/ssl/mx.key|1000|10|",
       {"TlsCertificate", "TlsKey=not-loaded"}},
  };
  for (const Case& c : cases) {
    testing_support::TempRoot root;
    for (const auto& [name, text] : c.stored) ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, text));
    const std::string folder = root.path() + "/credentials";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    for (const std::string& entry : c.credentials) {  // name or name=content
      const std::size_t equals = entry.find('=');
      std::ofstream(folder + "/" + entry.substr(0, equals))
          << (equals == std::string::npos ? "PEM" : entry.substr(equals + 1));
    }
    setenv(kCredentialsFolderVariable, folder.c_str(), 1);
    std::string expected = c.loaded;
    for (std::size_t at; (at = expected.find('~')) != std::string::npos;) expected.replace(at, 1, folder);
    EXPECT_EQ(Flat(LoadGatewaySettings()), expected);
    unsetenv(kCredentialsFolderVariable);
  }
}

}  // namespace
}  // namespace brenvik
