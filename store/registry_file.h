#pragma once
// In-memory form of the registry file and its text syntax (REGEDIT4 export).
// Internal to the store library; the programs use store/registry.h.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik::registry_file {

enum class ValueType { String, Dword, Other };

struct Entry {
  std::string name;            // value name as first written ("" for a comment line)
  ValueType type = ValueType::String;
  std::string text;            // String: the text; Other: the raw data after '='
  std::uint32_t number = 0;    // Dword: the number
  bool comment = false;        // a ';' line kept as written, in `text`
};

struct Key {
  std::string path;            // "HKEY_LOCAL_MACHINE\Software\Vikmar", as first written
  std::vector<Entry> entries;  // values and comments in file order
};

struct Document {
  std::vector<Key> keys;
};

// ASCII case-insensitive comparison, as registry names compare.
bool SameName(std::string_view a, std::string_view b);

// Parses the whole file text. Empty optional when the text is not a
// registry file (wrong header, stray line, bad escape, bad number).
std::optional<Document> Parse(std::string_view text);
// Renders a document; Parse(Render(d)) gives d back.
std::string Render(const Document& doc);

// Quoted-string body escapes: \\ \" \n \r \t and \xHH for other control bytes.
std::string EscapeText(std::string_view text);

Key* FindKey(Document& doc, std::string_view path);
const Key* FindKey(const Document& doc, std::string_view path);
Entry* FindValue(Key& key, std::string_view name);
const Entry* FindValue(const Key& key, std::string_view name);

}  // namespace brenvik::registry_file
