// Text syntax of the registry file: a REGEDIT4 header, [key] sections and
// "name"="text" / "name"=dword:xxxxxxxx lines. Other value forms (hex:...)
// are kept verbatim so a hand-written file survives our rewrites.
#include "store/registry_file.h"

#include <cctype>
#include <cstdio>

namespace brenvik::registry_file {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kDwordPrefix = "dword:";

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

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

// Reads a quoted string starting at s[0] == '"'; on success removes it from s.
bool ReadQuoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  std::size_t i = 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= s.size()) return false;
    char e = s[i + 1];
    i += 2;
    switch (e) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        if (i + 1 >= s.size()) return false;
        int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return false;
}

bool ParseDword(std::string_view data, std::uint32_t& number) {
  if (data.size() != kDwordPrefix.size() + 8 || !SameName(data.substr(0, kDwordPrefix.size()), kDwordPrefix))
    return false;
  std::uint32_t n = 0;
  for (char c : data.substr(kDwordPrefix.size())) {
    int d = HexDigit(c);
    if (d < 0) return false;
    n = n * 16 + static_cast<std::uint32_t>(d);
  }
  number = n;
  return true;
}

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
    return ReadQuoted(line, entry.text) && TrimLeft(line).empty();
  }
  if (SameName(line.substr(0, kDwordPrefix.size()), kDwordPrefix)) {
    entry.type = ValueType::Dword;
    return ParseDword(line, entry.number);
  }
  // hex:, hex(2): and the like: kept as written, never interpreted.
  if (!SameName(line.substr(0, 3), "hex")) return false;
  entry.type = ValueType::Other;
  entry.text = std::string(line);
  return true;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
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

std::optional<Document> Parse(std::string_view text) {
  Document doc;
  bool header_seen = false;
  // A UTF-8 byte order mark, as some editors write, is not part of the header.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = TrimRight(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    line = TrimLeft(line);
    if (line.empty()) continue;
    if (!header_seen) {
      if (line != kHeader) return std::nullopt;
      header_seen = true;
      continue;
    }
    if (line.front() == ';') {
      if (doc.keys.empty()) continue;  // comments before the first key are dropped
      Entry c;
      c.comment = true;
      c.text = std::string(line);
      doc.keys.back().entries.push_back(std::move(c));
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) return std::nullopt;
      std::string_view path = line.substr(1, line.size() - 2);
      if (FindKey(doc, path) != nullptr) continue;  // a repeated section merges into the first
      doc.keys.push_back(Key{std::string(path), {}});
      continue;
    }
    if (doc.keys.empty()) return std::nullopt;
    Entry e;
    if (!ParseValueLine(line, e)) return std::nullopt;
    Key& key = doc.keys.back();
    if (Entry* old = FindValue(key, e.name))
      *old = std::move(e);  // the last assignment wins, as on import
    else
      key.entries.push_back(std::move(e));
  }
  if (!header_seen) return std::nullopt;
  return doc;
}

std::string Render(const Document& doc) {
  std::string out(kHeader);
  out += "\n\n";
  for (const Key& key : doc.keys) {
    out += '[';
    out += key.path;
    out += "]\n";
    for (const Entry& e : key.entries) {
      if (e.comment) {
        out += e.text;
        out += '\n';
        continue;
      }
      if (e.name.empty())
        out += '@';
      else
        out += '"' + EscapeText(e.name) + '"';
      out += '=';
      if (e.type == ValueType::String) {
        out += '"' + EscapeText(e.text) + '"';
      } else if (e.type == ValueType::Dword) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", e.number);
        out += buf;
      } else {
        out += e.text;
      }
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

Key* FindKey(Document& doc, std::string_view path) {
  for (Key& k : doc.keys)
    if (SameName(k.path, path)) return &k;
  return nullptr;
}

const Key* FindKey(const Document& doc, std::string_view path) {
  for (const Key& k : doc.keys)
    if (SameName(k.path, path)) return &k;
  return nullptr;
}

Entry* FindValue(Key& key, std::string_view name) {
  for (Entry& e : key.entries)
    if (!e.comment && SameName(e.name, name)) return &e;
  return nullptr;
}

const Entry* FindValue(const Key& key, std::string_view name) {
  for (const Entry& e : key.entries)
    if (!e.comment && SameName(e.name, name)) return &e;
  return nullptr;
}

}  // namespace brenvik::registry_file
