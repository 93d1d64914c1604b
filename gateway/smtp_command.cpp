#include "gateway/smtp_command.h"

#include <arpa/inet.h>

#include "store/ascii_case.h"

namespace brenvik {

namespace {

bool IsAlpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }
// Bytes of UTF-8 (RFC 6531) and of legacy 8-bit clients count as letters.
bool IsHigh(unsigned char c) { return c >= 0x80; }

// RFC 5322 atext.
bool IsAtext(unsigned char c) {
  static constexpr std::string_view kSpecials = "!#$%&'*+-/=?^_`{|}~";
  return IsAlpha(c) || IsDigit(c) || IsHigh(c) || kSpecials.find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsLetDig(unsigned char c) { return IsAlpha(c) || IsDigit(c) || IsHigh(c); }

// A cursor over one path; every Take* consumes on success only.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  std::size_t at() const { return at_; }
  bool AtEnd() const { return at_ >= text_.size(); }
  unsigned char Peek() const { return AtEnd() ? 0 : static_cast<unsigned char>(text_[at_]); }
  bool Take(char c) {
    if (AtEnd() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  std::string_view Since(std::size_t from) const { return text_.substr(from, at_ - from); }
  std::string_view Rest() const { return text_.substr(at_); }

  bool TakeDotString();
  bool TakeQuotedString();
  bool TakeDomain();
  bool TakeAddressLiteral();
  bool TakeRoute();

 private:
  bool TakeAtom();
  bool TakeSubDomain();

  std::string_view text_;
  std::size_t at_ = 0;
};

bool Reader::TakeAtom() {
  const std::size_t from = at_;
  while (!AtEnd() && IsAtext(Peek())) ++at_;
  return at_ > from;
}

bool Reader::TakeDotString() {
  const std::size_t from = at_;
  do {
    if (!TakeAtom()) return (at_ = from), false;
  } while (Take('.'));
  return true;
}

// DQUOTE *(qtextSMTP / "\" %d32-126) DQUOTE
bool Reader::TakeQuotedString() {
  const std::size_t from = at_;
  if (!Take('"')) return false;
  while (!AtEnd()) {
    const unsigned char c = Peek();
    if (c == '"') return ++at_, true;
    if (c == '\\') {
      ++at_;
      if (AtEnd() || Peek() < 32 || Peek() > 126) break;
    } else if (IsControl(c)) {
      break;
    }
    ++at_;
  }
  at_ = from;
  return false;
}

// Let-dig [Ldh-str]: letters, digits and inner hyphens.
bool Reader::TakeSubDomain() {
  const std::size_t from = at_;
  while (!AtEnd() && (IsLetDig(Peek()) || Peek() == '-')) ++at_;
  const std::string_view label = Since(from);
  if (label.empty() || label.front() == '-' || label.back() == '-') return (at_ = from), false;
  return true;
}

bool Reader::TakeDomain() {
  const std::size_t from = at_;
  do {
    if (!TakeSubDomain()) return (at_ = from), false;
  } while (Take('.'));
  return true;
}

// Snum "." Snum "." Snum "." Snum, each 0..255 in at most three digits.
bool IsIpv4Literal(std::string_view text) {
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    const std::size_t from = i;
    int value = 0;
    while (i < text.size() && IsDigit(text[i]) && i - from < 3) value = value * 10 + (text[i++] - '0');
    if (i == from || value > 255) return false;
    ++parts;
    if (parts < 4 && (i >= text.size() || text[i++] != '.')) return false;
  }
  return i == text.size();
}

// The IPv6 forms of RFC 5321 4.1.3 are what inet_pton reads, less its
// leniencies (a zone, blanks).
bool IsIpv6Literal(std::string_view text) {
  if (text.empty() || text.size() > 45) return false;
  for (char c : text)
    if (!IsDigit(c) && !(AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f') && c != ':' && c != '.') return false;
  const std::string copy(text);
  unsigned char address[16];
  return inet_pton(AF_INET6, copy.c_str(), address) == 1;
}

// Standardized-tag ":" 1*dcontent, the tag an Ldh-str other than "IPv6".
bool IsTaggedLiteral(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon + 1 == text.size()) return false;
  const std::string_view tag = text.substr(0, colon);
  if (tag.front() == '-' || tag.back() == '-') return false;
  for (char c : tag)
    if (!IsAlpha(c) && !IsDigit(c) && c != '-') return false;
  for (char c : text.substr(colon + 1)) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 33 || b > 126 || c == '[' || c == ']' || c == '\\') return false;
  }
  return !SameIgnoringCase(tag, "IPv6");
}

// "[" (IPv4 / "IPv6:" IPv6 / tagged) "]" as RFC 5321 4.1.3 has them; any
// other text in brackets is no domain.
bool Reader::TakeAddressLiteral() {
  const std::size_t from = at_;
  if (!Take('[')) return false;
  const std::size_t close = text_.find(']', at_);
  if (close == std::string_view::npos) return (at_ = from), false;
  const std::string_view inside = text_.substr(at_, close - at_);
  const bool ipv6 = inside.size() > 5 && SameIgnoringCase(inside.substr(0, 5), "IPv6:");
  if (!(ipv6 ? IsIpv6Literal(inside.substr(5)) : IsIpv4Literal(inside) || IsTaggedLiteral(inside))) {
    return (at_ = from), false;
  }
  at_ = close + 1;
  return true;
}

// At-domain *( "," At-domain ), without the ":" that follows it.
bool Reader::TakeRoute() {
  const std::size_t from = at_;
  do {
    if (!Take('@') || !TakeDomain()) return (at_ = from), false;
  } while (Take(','));
  return true;
}

// esmtp-param *(SP esmtp-param); blanks between and after are tolerated.
bool ValidParameters(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    while (i < text.size() && (IsAlpha(text[i]) || IsDigit(text[i]) || (i > start && text[i] == '-'))) ++i;
    if (i == start) return false;
    if (i < text.size() && text[i] == '=') {
      const std::size_t value = ++i;
      while (i < text.size() && text[i] != ' ' && text[i] != '=' && !IsControl(text[i])) ++i;
      if (i == value) return false;
    }
    if (i < text.size() && text[i] != ' ') return false;
    while (i < text.size() && text[i] == ' ') ++i;
  }
  return true;
}

// The inside of "<...>" (reader at the "<"); fills route, local part, domain.
bool TakeBracketedMailbox(Reader& in, MailPath& path) {
  if (!in.Take('<')) return false;
  const std::size_t inside = in.at();
  if (in.Peek() == '@') {
    const std::size_t route = in.at();
    if (!in.TakeRoute() || !in.Take(':')) return false;
    path.route = in.Since(route);
    path.route.remove_suffix(1);
  }
  const std::size_t local = in.at();
  path.quoted = in.Peek() == '"';
  if (!(path.quoted ? in.TakeQuotedString() : in.TakeDotString())) return false;
  path.local_part = in.Since(local);
  if (!in.Take('@')) return false;
  const std::size_t domain = in.at();
  if (!(in.Peek() == '[' ? in.TakeAddressLiteral() : in.TakeDomain())) return false;
  path.domain = in.Since(domain);
  path.text = in.Since(inside);
  return in.Take('>');
}

}  // namespace

SmtpCommand ParseCommand(std::string_view line) {
  SmtpCommand command;
  if (line.empty()) {
    command.form = LineForm::Empty;
    return command;
  }
  if (line.size() > kMaxCommandLine || !IsAlpha(line.front())) return command;
  for (char c : line) {
    if (IsControl(static_cast<unsigned char>(c))) return command;
  }
  std::size_t end = 0;
  while (end < line.size() && IsAlpha(line[end])) ++end;
  if (end < line.size() && line[end] != ' ') return command;
  command.form = LineForm::Command;
  command.verb = AsciiUpper(line.substr(0, end));
  command.argument = line.substr(std::min(end + 1, line.size()));
  return command;
}

bool MailPath::PlainMailbox() const {
  if (form == Form::Postmaster) return true;
  return form == Form::Mailbox && route.empty() && !quoted &&
         local_part.find_first_of("%!") == std::string_view::npos;
}

MailPath ParseMailPath(std::string_view argument, std::string_view keyword) {
  MailPath path;
  if (argument.size() <= keyword.size() || !SameIgnoringCase(argument.substr(0, keyword.size()), keyword) ||
      argument[keyword.size()] != ':') {
    return path;
  }
  std::string_view rest = argument.substr(keyword.size() + 1);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  Reader in(rest);
  MailPath::Form form = MailPath::Form::Mailbox;
  if (keyword == "FROM" && rest.substr(0, 2) == "<>") {
    in.Take('<'), in.Take('>');
    form = MailPath::Form::Null;
  } else if (keyword == "TO" && rest.size() >= 12 && SameIgnoringCase(rest.substr(0, 12), "<Postmaster>")) {
    for (int i = 0; i < 12; ++i) in.Take(rest[i]);
    path.text = path.local_part = rest.substr(1, 10);
    form = MailPath::Form::Postmaster;
  } else if (!TakeBracketedMailbox(in, path)) {
    return MailPath{};
  }
  std::string_view parameters = in.Rest();
  if (!parameters.empty() && parameters.front() != ' ') return MailPath{};
  while (!parameters.empty() && parameters.front() == ' ') parameters.remove_prefix(1);
  if (!ValidParameters(parameters)) return MailPath{};
  path.form = form;
  path.parameters = parameters;
  return path;
}

}  // namespace brenvik
