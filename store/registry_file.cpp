// Text syntax of the registry file: a REGEDIT4 header, [key] sections,
// "name"="text", "name"=dword:x and "name"=hex(N):.. values (with "\"
// continuation lines), ";" comments, also after a value. Every line is kept
// as written; a line that is not understood spoils only itself.
#include "store/registry_file.h"

#include <cstdio>

#include "store/ascii_case.h"

namespace brenvik::registry_file {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kHeaderVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kDwordPrefix = "dword:";
constexpr std::string_view kHexPrefix = "hex";
constexpr std::size_t kMaxDwordDigits = 8;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

bool StartsWithName(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

// What may follow a value or a section line: nothing, or a ";" comment.
bool IsTrailer(std::string_view rest) {
  rest = TrimLeft(rest);
  return rest.empty() || rest.front() == ';';
}

bool ReadEscape(std::string_view s, std::size_t& i, std::string& out) {
  if (i + 1 >= s.size()) return false;
  const char e = s[i + 1];
  i += 2;
  switch (e) {
    case '\\': out += '\\'; return true;
    case '"': out += '"'; return true;
    case 'n': out += '\n'; return true;
    case 'r': out += '\r'; return true;
    case 't': out += '\t'; return true;
    case 'x': {
      if (i + 1 >= s.size()) return false;
      const int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
      return true;
    }
    default: return false;
  }
}

// Reads a quoted string starting at s[0] == '"'; on success removes it from s.
bool ReadQuoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  std::size_t i = 1;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c != '\\') {
      out += c;
      ++i;
    } else if (!ReadEscape(s, i, out)) {
      return false;
    }
  }
  return false;
}

// dword:x with one to eight hex digits, as regedit accepts it.
bool ParseDword(std::string_view data, Entry& entry) {
  std::string_view digits = data.substr(kDwordPrefix.size());
  std::size_t n = 0;
  std::uint32_t number = 0;
  while (n < digits.size() && n < kMaxDwordDigits + 1 && HexDigit(digits[n]) >= 0) {
    number = number * 16 + static_cast<std::uint32_t>(HexDigit(digits[n]));
    ++n;
  }
  if (n == 0 || n > kMaxDwordDigits || !IsTrailer(digits.substr(n))) return false;
  entry.type = ValueType::Dword;
  entry.number = number;
  entry.trailer = std::string(digits.substr(n));
  return true;
}

// "hex:" or "hex(N):" followed by comma-separated bytes; `data` has its
// continuation backslashes already removed.
bool ParseHex(std::string_view data, Entry& entry) {
  data.remove_prefix(kHexPrefix.size());
  if (!data.empty() && data.front() == '(') {
    const std::size_t close = data.find(')');
    if (close == std::string_view::npos || close == 1) return false;
    for (char c : data.substr(1, close - 1))
      if (HexDigit(c) < 0) return false;
    data.remove_prefix(close + 1);
  }
  if (data.empty() || data.front() != ':') return false;
  data.remove_prefix(1);
  const std::size_t comment = data.find(';');
  data = Trim(data.substr(0, comment));
  entry.type = ValueType::Other;
  entry.text.clear();
  while (!data.empty()) {
    std::size_t comma = data.find(',');
    std::string_view byte = Trim(data.substr(0, comma));
    if (byte.empty() || byte.size() > 2 || HexDigit(byte[0]) < 0 || (byte.size() == 2 && HexDigit(byte[1]) < 0))
      return false;
    int value = HexDigit(byte[0]);
    if (byte.size() == 2) value = value * 16 + HexDigit(byte[1]);
    entry.text += static_cast<char>(value);
    if (comma == std::string_view::npos) break;
    data.remove_prefix(comma + 1);
    if (Trim(data).empty()) break;  // a trailing comma, as some exports end
  }
  return true;
}

// One value line (continuations already joined into `line`).
bool ParseValueLine(std::string_view line, Entry& entry) {
  if (line.front() == '@') {
    entry.name.clear();
    line.remove_prefix(1);
  } else if (!ReadQuoted(line, entry.name)) {
    return false;
  }
  line = TrimLeft(line);
  if (line.empty() || line.front() != '=') return false;
  line = TrimLeft(line.substr(1));
  if (!line.empty() && line.front() == '"') {
    entry.type = ValueType::String;
    if (!ReadQuoted(line, entry.text) || !IsTrailer(line)) return false;
    entry.trailer = std::string(line);
    return true;
  }
  if (StartsWithName(line, kDwordPrefix)) return ParseDword(line, entry);
  if (StartsWithName(line, kHexPrefix)) return ParseHex(line, entry);
  return false;
}

// The text of a [section] line; empty when the line is no section.
std::string_view SectionPath(std::string_view line) {
  if (line.size() < 3 || line.front() != '[') return {};
  for (std::size_t close = line.find(']'); close != std::string_view::npos; close = line.find(']', close + 1))
    if (IsTrailer(line.substr(close + 1))) return line.substr(1, close - 1);
  return {};
}

bool IsHexValue(std::string_view line) {
  const std::size_t eq = line.find('=');
  return eq != std::string_view::npos && StartsWithName(TrimLeft(line.substr(eq + 1)), kHexPrefix);
}

bool ContinuesOnNextLine(std::string_view piece) {
  piece = TrimRight(piece);
  return !piece.empty() && piece.back() == '\\';
}

// A line that can go on a hex value: hex digits, commas, blanks and maybe a
// backslash. Anything else (a blank line, a section, another value) never
// joins it, however many backslashes the line before ends in.
bool IsHexContinuation(std::string_view piece) {
  piece = Trim(piece);
  return !piece.empty() && piece.find_first_not_of("0123456789abcdefABCDEF, \t\\") == std::string_view::npos;
}

// The lines of the file without their line ends (a last line without LF
// counts too).
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
  return lines;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : lines_(SplitLines(text)) {}

  Document Run() {
    while (next_ < lines_.size()) {
      const std::size_t at = next_++;
      const std::string_view trimmed = Trim(lines_[at]);
      if (!header_done_ && trimmed.empty()) continue;  // blank lines before the header
      if (!header_done_ && TakeHeader(at, trimmed)) continue;
      Line(at, trimmed);
    }
    return std::move(doc_);
  }

 private:
  bool TakeHeader(std::size_t at, std::string_view trimmed) {
    header_done_ = true;
    if (trimmed == kHeader || trimmed == kHeaderVersion5) {
      doc_.header = std::string(lines_[at]);
      return true;
    }
    Problem(at);  // no header: the line is still read for what it is
    return false;
  }

  void Line(std::size_t at, std::string_view trimmed) {
    Entry e;
    e.line = static_cast<int>(at + 1);
    e.raw = std::string(lines_[at]);
    if (trimmed.empty()) {
      e.kind = LineKind::Blank;
    } else if (trimmed.front() == ';') {
      e.kind = LineKind::Comment;
    } else if (const std::string_view path = SectionPath(trimmed); !path.empty()) {
      doc_.keys.push_back(Key{std::string(path), e.raw, {}});
      return;
    } else {
      Value(at, trimmed, e);
    }
    (doc_.keys.empty() ? doc_.preamble : doc_.keys.back().entries).push_back(std::move(e));
  }

  void Value(std::size_t at, std::string_view trimmed, Entry& e) {
    std::string joined(trimmed);
    if (IsHexValue(trimmed)) {
      while (ContinuesOnNextLine(joined) && next_ < lines_.size() && IsHexContinuation(lines_[next_])) {
        joined = std::string(TrimRight(joined));
        joined.pop_back();  // the continuation backslash
        const std::string_view piece = lines_[next_++];
        e.raw += '\n';
        e.raw += piece;
        joined += Trim(piece);
      }
    }
    e.kind = LineKind::Value;
    if (!doc_.keys.empty() && ParseValueLine(joined, e)) return;
    Entry unparsed;
    unparsed.kind = LineKind::Unparsed;
    unparsed.raw = std::move(e.raw);
    unparsed.line = e.line;
    e = std::move(unparsed);
    Problem(at);
  }

  void Problem(std::size_t at) {
    const int number = static_cast<int>(at + 1);
    if (doc_.unparsed.empty() || doc_.unparsed.back() != number) doc_.unparsed.push_back(number);
  }

  std::vector<std::string_view> lines_;
  std::size_t next_ = 0;
  bool header_done_ = false;
  Document doc_;
};

std::string RenderValue(const Entry& e) {
  std::string out = e.name.empty() ? std::string("@") : '"' + EscapeText(e.name) + '"';
  out += '=';
  if (e.type == ValueType::Dword) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", e.number);
    out += buf;
  } else if (e.type == ValueType::String) {
    out += '"' + EscapeText(e.text) + '"';
  } else {
    out += "hex:";
    for (std::size_t i = 0; i < e.text.size(); ++i) {
      char buf[4];
      std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : ",%02x", static_cast<unsigned char>(e.text[i]));
      out += buf;
    }
  }
  return out + e.trailer;
}

void AppendEntries(std::string& out, const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    out += e.raw.empty() && e.kind == LineKind::Value ? RenderValue(e) : e.raw;
    out += '\n';
  }
}

Entry BlankLine() {
  Entry blank;
  blank.kind = LineKind::Blank;
  return blank;
}

bool EndsWithBlank(const std::vector<Entry>& entries) {
  return !entries.empty() && entries.back().kind == LineKind::Blank;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) { return SameIgnoringCase(a, b); }

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02X", u);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out;
}

Document Parse(std::string_view text) {
  // A UTF-8 byte order mark, as some editors write, is not part of the header.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return Parser(text).Run();
}

std::string Render(const Document& doc) {
  std::string out = doc.header.empty() ? std::string(kHeader) : doc.header;
  out += '\n';
  AppendEntries(out, doc.preamble);
  for (const Key& key : doc.keys) {
    out += key.raw;
    out += '\n';
    AppendEntries(out, key.entries);
  }
  return out;
}

const Entry* FindValue(const Document& doc, std::string_view path, std::string_view name) {
  const Entry* found = nullptr;
  for (const Key& key : doc.keys) {
    if (!SameName(key.path, path)) continue;
    for (const Entry& e : key.entries)
      if (e.kind == LineKind::Value && SameName(e.name, name)) found = &e;  // the last one wins
  }
  return found;
}

Entry& ValueToWrite(Document& doc, std::string_view path, std::string_view name) {
  if (const Entry* found = FindValue(doc, path, name)) return const_cast<Entry&>(*found);
  Key* first = nullptr;
  for (Key& key : doc.keys)
    if (first == nullptr && SameName(key.path, path)) first = &key;
  if (first == nullptr) {
    std::vector<Entry>& before = doc.keys.empty() ? doc.preamble : doc.keys.back().entries;
    if (!EndsWithBlank(before)) before.push_back(BlankLine());
    doc.keys.push_back(Key{std::string(path), "[" + std::string(path) + "]", {BlankLine()}});
    first = &doc.keys.back();
  }
  // New values go after the section's last value, before its blank lines.
  auto at = first->entries.end();
  while (at != first->entries.begin() && (at - 1)->kind == LineKind::Blank) --at;
  Entry fresh;
  fresh.name = std::string(name);
  return *first->entries.insert(at, std::move(fresh));
}

}  // namespace brenvik::registry_file
