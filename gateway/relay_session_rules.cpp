#include "gateway/relay_session_rules.h"

#include <algorithm>

#include "gateway/domain_name.h"
#include "gateway/relay_session_texts.h"
#include "store/ascii_case.h"

namespace brenvik {

namespace {

// The extension keyword of an EHLO line: after the code and its separator,
// up to the first blank or "=" (the old "AUTH=LOGIN" form).
std::string_view ExtensionKeyword(std::string_view line) {
  if (line.size() <= 4) return {};
  std::string_view rest = line.substr(4);
  return rest.substr(0, rest.find_first_of(" ="));
}

bool IsWithheld(std::string_view line) {
  std::string_view keyword = ExtensionKeyword(line);
  return std::any_of(relay_text::kWithheldExtensions.begin(), relay_text::kWithheldExtensions.end(),
                     [keyword](std::string_view x) { return SameIgnoringCase(keyword, x); });
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

void AddExtension(std::vector<std::string>& lines, std::string_view keyword) {
  if (lines.empty() || lines.front().empty() || lines.front()[0] != '2') return;
  std::string& last = lines.back();
  if (last.size() < 3) return;
  const std::string code = last.substr(0, 3);
  if (last.size() < 4) last.push_back('-');
  last[3] = '-';
  lines.push_back(code + " " + std::string(keyword));
}

bool RecipientAccepted(const MailPath& path, const std::vector<std::string>& domains) {
  if (path.form == MailPath::Form::Postmaster) return true;  // RFC 5321 4.5.1: every server takes it
  if (!path.PlainMailbox()) return false;
  const auto domain = DomainKey(path.domain);
  if (!domain) return std::any_of(domains.begin(), domains.end(), [](const std::string& e) { return e.empty(); });
  const std::string with_at = "@" + *domain;
  return std::any_of(domains.begin(), domains.end(), [&](const std::string& entry) {
    if (entry.empty() || entry == with_at) return true;
    return entry.front() != '@' && entry == *domain;
  });
}

bool RecipientAccepted(std::string_view rcpt_line, const std::vector<std::string>& domains) {
  const SmtpCommand command = ParseCommand(rcpt_line);
  if (command.form != LineForm::Command || command.verb != "RCPT") return false;
  return RecipientAccepted(ParseMailPath(command.argument, "TO"), domains);
}

void DataStream::EndLine(bool crlf, std::string& out) {
  if (position_ == Position::HeldDot) {
    if (crlf && held_ == ".") {
      out.append(".").append(relay_text::kLineEnd);
      position_ = Position::Complete;
      return;
    }
    if (!crlf) out.push_back('.');  // the backend must not read it as stuffing
    out.append(held_);
    held_.clear();
  }
  out.append(relay_text::kLineEnd);
  position_ = Position::LineStart;
  started_by_crlf_ = crlf;
}

void DataStream::Byte(char c, std::string& out) {
  switch (position_) {
    case Position::LineStart:
      position_ = Position::InLine;
      if (c != '.') break;
      if (!started_by_crlf_) {
        out.append("..");
        return;
      }
      held_.assign(1, c);
      position_ = Position::HeldDot;
      return;
    case Position::HeldDot:
      held_.push_back(c);
      if (held_.size() >= kMaxHeldLine) {
        out.append(held_);
        held_.clear();
        position_ = Position::InLine;
      }
      return;
    default:
      break;
  }
  out.push_back(c);
}

std::size_t DataStream::Feed(std::string_view block, std::string& out) {
  if (Complete()) return 0;
  for (std::size_t i = 0; i < block.size(); ++i) {
    const char c = block[i];
    if (pending_cr_) {
      pending_cr_ = false;
      if (c == '\n') {
        EndLine(true, out);
        if (Complete()) return i + 1;
        continue;
      }
      EndLine(false, out);  // a bare CR; `c` begins the next line
    }
    if (c == '\r') {
      pending_cr_ = true;
    } else if (c == '\n') {
      EndLine(false, out);
    } else {
      Byte(c, out);
    }
  }
  return block.size();
}

}  // namespace brenvik
