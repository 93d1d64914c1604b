// The dialect translation for both engines: any statement text is either
// refused with a reason or translated; a statement's shape with its values
// put back is its literal text, so what is bound is what was written; and
// translating never reads or writes out of bounds.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/sql_internal.h"

namespace {
using brenvik::sql_internal::Engine;
using brenvik::sql_internal::Translation;

constexpr std::string_view kServerDate = " AS timestamp)";

std::string Quoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

bool IsWordByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// The shape with each parameter replaced by the literal it stands for.
std::string PutBack(const Translation& tr, Engine engine) {
  std::string out;
  std::size_t next = 0;
  const std::string& s = tr.shape;
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (c == '\'' || c == '"') {  // a literal or name left in the shape, copied whole
      std::size_t end = i + 1;
      for (; end < s.size(); ++end) {
        if (s[end] != c) continue;
        if (end + 1 < s.size() && s[end + 1] == c) ++end;  // a doubled quote stands for itself
        else break;
      }
      out.append(s, i, end + 1 - i);
      i = end + 1;
      continue;
    }
    const bool server = engine == Engine::Postgres;
    // "CAST($n AS timestamp)" is a translated date only where the literal
    // has one; the caller may have written such a cast around a text.
    const bool date = server && s.compare(i, 6, "CAST($") == 0 && (i == 0 || !IsWordByte(s[i - 1])) &&
                      next < tr.values.size() &&
                      tr.literal.compare(out.size(), 10, "TIMESTAMP ") == 0;
    const bool plain = server ? c == '$' && (i == 0 || !IsWordByte(s[i - 1])) : c == '?';
    if (!date && !plain) {
      out += s[i++];
      continue;
    }
    if (next >= tr.values.size()) std::abort();  // more placeholders than values
    const auto& v = tr.values[next++];
    i += date ? 6 : server ? 1 : 0;
    if (server) {
      std::size_t digits = i;
      while (digits < s.size() && std::isdigit(static_cast<unsigned char>(s[digits]))) ++digits;
      if (s.substr(i, digits - i) != std::to_string(next)) std::abort();  // numbered out of order
      i = digits;
    } else {
      ++i;
    }
    if (date && s.compare(i, kServerDate.size(), kServerDate) != 0) std::abort();
    if (date) i += kServerDate.size();
    out += date ? "TIMESTAMP " + Quoted(v.text) : v.integer ? v.text : Quoted(v.text);
  }
  if (next != tr.values.size()) std::abort();  // a value without its placeholder
  return out;
}

void Check(Engine engine, std::string_view statement) {
  Translation tr;
  std::string error;
  if (!brenvik::sql_internal::Translate(statement, "dd.MM.yyyy", engine, tr, error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return;
  }
  if (!error.empty()) std::abort();  // a translated statement carries no reason
  if (!tr.shape.empty() && PutBack(tr, engine) != tr.literal) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view statement(reinterpret_cast<const char*>(data), size);
  Check(Engine::Sqlite, statement);
  Check(Engine::Postgres, statement);
  return 0;
}
