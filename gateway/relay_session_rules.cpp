#include "gateway/relay_session_rules.h"

#include <algorithm>

#include "gateway/gateway_state.h"
#include "gateway/relay_session_texts.h"

namespace brenvik {

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

// The extension keyword of an EHLO line: after the code and its separator,
// up to the first blank.
std::string_view ExtensionKeyword(std::string_view line) {
  if (line.size() <= 4) return {};
  std::string_view rest = line.substr(4);
  return rest.substr(0, rest.find(' '));
}

bool IsWithheld(std::string_view line) {
  std::string_view keyword = ExtensionKeyword(line);
  return std::any_of(relay_text::kWithheldExtensions.begin(), relay_text::kWithheldExtensions.end(),
                     [keyword](std::string_view x) { return EqualsIgnoringCase(keyword, x); });
}

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// Position of the ">" that closes a path, skipping quoted local parts.
std::size_t ClosingBracket(std::string_view path) {
  bool quoted = false;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (quoted && path[i] == '\\') {
      ++i;
    } else if (path[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && path[i] == '>') {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace

void WithholdExtensions(std::vector<std::string>& lines) {
  if (lines.size() < 2 || lines.front().empty() || lines.front()[0] != '2') return;
  lines.erase(std::remove_if(lines.begin() + 1, lines.end(),
                             [](const std::string& line) { return IsWithheld(line); }),
              lines.end());
  std::string& last = lines.back();
  if (last.size() >= 4) last[3] = ' ';
}

std::string RecipientDomain(std::string_view rcpt_line) {
  std::size_t start = rcpt_line.find(':');
  start = start == std::string_view::npos ? std::min<std::size_t>(4, rcpt_line.size()) : start + 1;
  while (start < rcpt_line.size() && IsBlankOrTab(rcpt_line[start])) ++start;
  std::string_view path = rcpt_line.substr(start);
  if (!path.empty() && path.front() == '<') {
    path.remove_prefix(1);
    std::size_t close = ClosingBracket(path);
    if (close != std::string_view::npos) {
      path = path.substr(0, close);
    } else {
      path = path.substr(0, path.find_first_of(" \t"));
    }
  } else {
    path = path.substr(0, path.find_first_of(" \t"));
  }
  std::size_t at = path.rfind('@');
  if (at == std::string_view::npos) return {};
  return UpperCase(path.substr(at + 1));
}

bool RecipientAccepted(std::string_view rcpt_line, const std::vector<std::string>& domains) {
  const std::string domain = RecipientDomain(rcpt_line);
  const std::string with_at = "@" + domain;
  return std::any_of(domains.begin(), domains.end(), [&](const std::string& entry) {
    if (entry.empty() || entry == with_at) return true;
    return entry.front() != '@' && entry == domain;
  });
}

void DataStream::EndLine(std::string& out) {
  out.append(relay_text::kLineEnd);
  position_ = position_ == Position::AfterDot ? Position::Complete : Position::LineStart;
}

std::size_t DataStream::Feed(std::string_view block, std::string& out) {
  if (Complete()) return 0;
  for (std::size_t i = 0; i < block.size(); ++i) {
    const char c = block[i];
    if (pending_cr_) {
      pending_cr_ = false;
      EndLine(out);
      if (c == '\n') {  // CR LF
        if (Complete()) return i + 1;
        continue;
      }
      if (Complete()) return i;  // the mark ended with a bare CR; `c` comes after it
    }
    if (c == '\r') {
      pending_cr_ = true;
    } else if (c == '\n') {  // bare LF
      EndLine(out);
      if (Complete()) return i + 1;
    } else {
      out.push_back(c);
      position_ = position_ == Position::LineStart && c == '.' ? Position::AfterDot : Position::InLine;
    }
  }
  return block.size();
}

}  // namespace brenvik
