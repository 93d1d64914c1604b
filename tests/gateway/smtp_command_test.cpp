// The command parser that every decision of the relay session rests on.
#include "gateway/smtp_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brenvik {
namespace {

using Form = MailPath::Form;

TEST(ParseCommand, OnlyAVerbAtTheFirstByteAndNoControlByteMakeACommand) {
  struct Case {
    std::string line;
    LineForm form;
    const char* verb;
    const char* argument;
  };
  const std::vector<Case> cases = {
      {"MAIL FROM:<a@b.example>", LineForm::Command, "MAIL", "FROM:<a@b.example>"},
      {"quit", LineForm::Command, "QUIT", ""},
      {"DATA ", LineForm::Command, "DATA", ""},
      {"DATAX", LineForm::Command, "DATAX", ""},  // the whole word is the verb
      {"HELO h\xe4st.example", LineForm::Command, "HELO", "h\xe4st.example"},
      {"", LineForm::Empty, "", ""},
      // White space or control bytes before or inside the verb, or anywhere.
      {" MAIL FROM:<a@b.example>", LineForm::NotACommand, "", ""},
      {"\tRCPT TO:<v@x.example>", LineForm::NotACommand, "", ""},
      {"\x0bRCPT TO:<v@x.example>", LineForm::NotACommand, "", ""},
      {"\x0c" "EHLO x", LineForm::NotACommand, "", ""},
      {std::string("MA\0IL FROM:<a@b>", 16), LineForm::NotACommand, "", ""},
      {"RCPT TO:<a@b.example>\rRCPT TO:<v@x.example>", LineForm::NotACommand, "", ""},
      {"NOOP \x01", LineForm::NotACommand, "", ""},
      {"NOOP\x7f", LineForm::NotACommand, "", ""},
      {"MAIL:FROM:<a@b>", LineForm::NotACommand, "", ""},
      {"1HELO x", LineForm::NotACommand, "", ""},
      {"HELO\xe4", LineForm::NotACommand, "", ""},
      {"NOOP " + std::string(kMaxCommandLine, 'x'), LineForm::NotACommand, "", ""},
  };
  for (const Case& c : cases) {
    const SmtpCommand command = ParseCommand(c.line);
    EXPECT_EQ(command.form, c.form) << c.line;
    EXPECT_EQ(command.verb, c.verb) << c.line;
    EXPECT_EQ(command.argument, c.argument) << c.line;
  }
}

TEST(ParseMailPath, ReadsPathsByTheGrammarAndNothingElse) {
  struct Case {
    const char* argument;
    const char* keyword;
    Form form;
    const char* text;
    const char* route;
    const char* domain;
    bool plain;
    const char* parameters;
  };
  const std::vector<Case> cases = {
      {"FROM:<a.b+c@mail.example>", "FROM", Form::Mailbox, "a.b+c@mail.example", "", "mail.example", true, ""},
      {"from: <a@b.example> SIZE=10 BODY=8BITMIME", "FROM", Form::Mailbox, "a@b.example", "", "b.example", true,
       "SIZE=10 BODY=8BITMIME"},
      {"FROM:<>", "FROM", Form::Null, "", "", "", false, ""},
      {"FROM:<> SIZE=10 ", "FROM", Form::Null, "", "", "", false, "SIZE=10 "},
      {"TO:<Postmaster>", "TO", Form::Postmaster, "Postmaster", "", "", true, ""},
      {"TO:<v@x.example> ORCPT=rfc822;v@x.example NOTIFY=NEVER", "TO", Form::Mailbox, "v@x.example", "",
       "x.example", true, "ORCPT=rfc822;v@x.example NOTIFY=NEVER"},
      {"TO:<v@[192.0.2.1]>", "TO", Form::Mailbox, "v@[192.0.2.1]", "", "[192.0.2.1]", true, ""},
      {"TO:<v@[IPv6:2001:db8::1]>", "TO", Form::Mailbox, "v@[IPv6:2001:db8::1]", "", "[IPv6:2001:db8::1]", true, ""},
      {"TO:<v@[x-tag:a.b]>", "TO", Form::Mailbox, "v@[x-tag:a.b]", "", "[x-tag:a.b]", true, ""},
      {"TO:<m\xc3\xbcller@b\xc3\xa4r.example>", "TO", Form::Mailbox, "m\xc3\xbcller@b\xc3\xa4r.example", "",
       "b\xc3\xa4r.example", true, ""},
      // Forms that are paths but that some servers route elsewhere.
      {"TO:<@r1.example,@r2.example:v@x.example>", "TO", Form::Mailbox, "@r1.example,@r2.example:v@x.example",
       "@r1.example,@r2.example", "x.example", false, ""},
      {"TO:<\"v@y.example\"@x.example>", "TO", Form::Mailbox, "\"v@y.example\"@x.example", "", "x.example", false, ""},
      {"TO:<\"a\\\"b\"@x.example>", "TO", Form::Mailbox, "\"a\\\"b\"@x.example", "", "x.example", false, ""},
      {"TO:<v%y.example@x.example>", "TO", Form::Mailbox, "v%y.example@x.example", "", "x.example", false, ""},
      {"TO:<y.example!v@x.example>", "TO", Form::Mailbox, "y.example!v@x.example", "", "x.example", false, ""},
  };
  for (const Case& c : cases) {
    const MailPath path = ParseMailPath(c.argument, c.keyword);
    EXPECT_EQ(path.form, c.form) << c.argument;
    EXPECT_EQ(path.text, c.text) << c.argument;
    EXPECT_EQ(path.route, c.route) << c.argument;
    EXPECT_EQ(path.domain, c.domain) << c.argument;
    EXPECT_EQ(path.PlainMailbox(), c.plain) << c.argument;
    EXPECT_EQ(path.parameters, c.parameters) << c.argument;
  }
  for (const char* invalid :
       {"TO:v@x.example", "TO:<v@x.example", "TO:<v@x.example>junk", "TO:<v@x.example>,<w@y.example>",
        "TO:<v@x.example> <w@y.example>", "TO:<w@y.example@x.example>", "TO:<v@x.example.>", "TO:<v@-x.example>",
        "TO:<.v@x.example>", "TO:<v..w@x.example>", "TO:<v@x_y.example>", "TO:<v w@x.example>", "TO:<v@x.example> =1",
        "TO:<v@x.example> A==", "TO:<>", "TO:<Postmaster@>", "TO :<v@x.example>",
        "TO:<@x.example:>", "TO:<v>", "TO:<\"v@x.example>", "TO:<v@[]>", "FROM:<Postmaster>", "FROM:",
        // Address literals other than IPv4, IPv6 and tagged ones.
        "TO:<&@[!1]> 3=OE", "TO:<v@[192.0.2]>", "TO:<v@[256.0.2.1]>", "TO:<v@[1.2.3.0004]>", "TO:<v@[IPv6:1::x]>",
        "TO:<v@[IPv6:192.0.2.1]>", "TO:<v@[IPv6:]>", "TO:<v@[-x:a]>", "TO:<v@[x:]>", "TO:<v@[x:a b]>"}) {
    EXPECT_EQ(ParseMailPath(invalid, std::string_view(invalid).starts_with("TO") ? "TO" : "FROM").form,
              Form::Invalid)
        << invalid;
  }
}

}  // namespace
}  // namespace brenvik
