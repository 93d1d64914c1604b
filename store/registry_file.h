#pragma once
// In-memory form of the registry file and its text syntax (REGEDIT4 export).
// Every line is kept as written, so a rewrite changes only the lines of the
// values it sets. Internal to the store library; the programs use
// store/registry.h.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik::registry_file {

enum class LineKind { Value, Comment, Blank, Unparsed };
enum class ValueType { String, Dword, Other };

struct Entry {
  LineKind kind = LineKind::Value;   // what the line is
  std::string raw;                   // the line(s) as written; "" once the value is changed
  std::string name;                  // value name ("" for the default value "@")
  ValueType type = ValueType::String;
  std::string text;                  // String: the text; Other: the decoded data bytes
  std::uint32_t number = 0;          // Dword: the number
  std::string trailer;               // a trailing "; comment" of a String or Dword line
  int line = 0;                      // line number in the file; 0 for a new value
};

struct Key {
  std::string path;                  // "HKEY_LOCAL_MACHINE\Software\Vikmar", as written
  std::string raw;                   // the section line as written
  std::vector<Entry> entries;        // the lines after it, up to the next section
};

struct Document {
  std::string header;                // the header line; "" when the file had none
  std::vector<Entry> preamble;       // lines between the header and the first section
  std::vector<Key> keys;             // sections in file order; a key may repeat
  std::vector<int> unparsed;         // numbers of the lines that were not understood
};

// ASCII case-insensitive comparison, as registry names compare.
bool SameName(std::string_view a, std::string_view b);

// Parses the file text. Never fails: a line that cannot be understood is
// kept as written and its number listed in `unparsed`.
Document Parse(std::string_view text);
// Renders a document: unchanged lines as written (line ends become LF),
// changed and new values in their canonical form.
std::string Render(const Document& doc);

// Quoted-string body escapes: \\ \" \n \r \t and \xHH for other control bytes.
std::string EscapeText(std::string_view text);

// The value as read: the last assignment of `name` in any section of
// `path`. Null when there is none.
const Entry* FindValue(const Document& doc, std::string_view path, std::string_view name);
// The entry a write of `name` changes: the last assignment, or a new value
// at the end of the key's first section (a new section when the key is
// missing).
Entry& ValueToWrite(Document& doc, std::string_view path, std::string_view name);

}  // namespace brenvik::registry_file
