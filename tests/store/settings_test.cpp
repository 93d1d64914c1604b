#include "store/settings.h"

#include <gtest/gtest.h>

#include <limits>

#include "store/registry.h"
#include "tests/store/store_test_support.h"

namespace brenvik {
namespace {

using testing_support::TempRoot;

void Set(std::string_view name, std::string_view text) {
  ASSERT_TRUE(SETREGVALUE(HKEY_LOCAL_MACHINE, kSettingsKey, name, text));
}

TEST(ParseLeadingNumber, TakesTheDigitsAfterBlanksTabsAndLineFeeds) {
  struct Case {
    const char* text;
    std::int32_t number;
  } cases[] = {
      {"25", 25},          {" \t\n 2525", 2525}, {"8025abc", 8025}, {"", 0},
      {"abc", 0},          {"0", 0},             {"-5", 0},         {"+5", 0},
      {"\r25", 0},         {"1 2", 1},           {"007", 7},
      {"99999999999", std::numeric_limits<std::int32_t>::max()},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLeadingNumber(c.text), c.number) << '"' << c.text << '"';
}

TEST(LoadGatewaySettings, EmptyRegistryGivesTheDefaults) {
  TempRoot root;
  GatewaySettings s = LoadGatewaySettings();
  EXPECT_EQ(s.RecvPort, 25);
  EXPECT_EQ(s.RecvHost, "localhost");
  EXPECT_EQ(s.SendPort, 25);
  EXPECT_EQ(s.SendHost, "localhost");
  EXPECT_EQ(s.WorkDir, "/");
  EXPECT_EQ(s.Logging, 0);
  EXPECT_EQ(s.GarbageCollector, 0);
  EXPECT_EQ(s.CheckBadMailAdr, 0);
  EXPECT_EQ(s.LogDB, 0);
  EXPECT_EQ(s.StatusMail, "");
}

TEST(LoadGatewaySettings, ReadsAllTenValuesAsStored) {
  TempRoot root;
  Set("RecvPort", "2525x");
  Set("RecvHost", "0.0.0.0");
  Set("SendPort", " 587");
  Set("SendHost", "mail.example.com");
  Set("Logging", "2");
  Set("WorkDir", "/opt/brenvik/");
  Set("GarbageCollector", "1");
  Set("CheckBadMailAdr", "2");
  Set("StatusMail", "admin@example.com");
  Set("LogDB", "1");
  GatewaySettings s = LoadGatewaySettings();
  EXPECT_EQ(s.RecvPort, 2525);
  EXPECT_EQ(s.RecvHost, "0.0.0.0");
  EXPECT_EQ(s.SendPort, 587);
  EXPECT_EQ(s.SendHost, "mail.example.com");
  EXPECT_EQ(s.Logging, 2);  // kept as a number; only 1 switches the log on
  EXPECT_EQ(s.WorkDir, "/opt/brenvik//");  // appended without a check
  EXPECT_EQ(s.GarbageCollector, 1);
  EXPECT_EQ(s.CheckBadMailAdr, 2);
  EXPECT_EQ(s.StatusMail, "admin@example.com");
  EXPECT_EQ(s.LogDB, 1);
}

TEST(LoadGatewaySettings, ZeroOrNonNumericPortsFallBackTo25) {
  TempRoot root;
  Set("RecvPort", "0");
  Set("SendPort", "smtp");
  Set("WorkDir", "x");
  GatewaySettings s = LoadGatewaySettings();
  EXPECT_EQ(s.RecvPort, 25);
  EXPECT_EQ(s.SendPort, 25);
  EXPECT_EQ(s.WorkDir, "x/");
}

TEST(PublishSettings, ReadersSeeTheWholePublishedRecord) {
  auto first = std::make_shared<const GatewaySettings>();
  PublishSettings(first);
  EXPECT_EQ(CurrentSettings(), first);
  GatewaySettings changed;
  changed.RecvPort = 2525;
  PublishSettings(std::make_shared<const GatewaySettings>(changed));
  EXPECT_EQ(CurrentSettings()->RecvPort, 2525);
  EXPECT_EQ(first->RecvPort, 25);  // an earlier record stays as it was
}

}  // namespace
}  // namespace brenvik
