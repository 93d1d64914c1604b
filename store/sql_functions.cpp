// The dialect's date functions as SQLite functions over ISO date texts.
// Month names are German, in UTF-8, as SQLite keeps its text.
#include <cctype>
#include <cstdio>
#include <optional>
#include <string>

#include "store/ascii_case.h"
#include "store/sql_internal.h"

namespace brenvik::sql_internal {
namespace {

constexpr const char* kMonthNames[12] = {"Januar", "Februar", "M\xC3\xA4rz", "April",
                                         "Mai",    "Juni",    "Juli",        "August",
                                         "September", "Oktober", "November", "Dezember"};
constexpr const char* kMonthShort[12] = {"Jan", "Feb", "M\xC3\xA4r", "Apr", "Mai", "Jun",
                                         "Jul", "Aug", "Sep",         "Okt", "Nov", "Dez"};
constexpr std::size_t kMaxPattern = 256;  // bytes of a format pattern

struct Stamp {
  int year, month, day, hour, minute, second;
};

int Num(const char* s, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

// "YYYY-MM-DD" with an optional " HH:MM:SS" (or 'T'), as the layer stores dates.
std::optional<Stamp> ParseStamp(sqlite3_value* v) {
  if (sqlite3_value_type(v) == SQLITE_NULL) return std::nullopt;
  const char* s = reinterpret_cast<const char*>(sqlite3_value_text(v));
  if (s == nullptr) return std::nullopt;
  std::string_view t(s);
  if (t.size() < 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  Stamp st{Num(s, 4), Num(s + 5, 2), Num(s + 8, 2), 0, 0, 0};
  if (t.size() >= 19 && (t[10] == ' ' || t[10] == 'T') && t[13] == ':' && t[16] == ':') {
    st.hour = Num(s + 11, 2);
    st.minute = Num(s + 14, 2);
    st.second = Num(s + 17, 2);
  }
  if (st.year < 0 || st.month < 1 || st.month > 12 || st.day < 1 || st.day > 31 || st.hour < 0 ||
      st.minute < 0 || st.second < 0)
    return std::nullopt;
  return st;
}

// The number with at least `width` digits (1 or 2).
void Field(std::string& out, int v, std::size_t width) {
  char b[16];
  std::snprintf(b, sizeof b, width >= 2 ? "%02d" : "%d", v);
  out += b;
}

// Counts how often `c` repeats at p[i] (case-insensitive).
std::size_t Run(std::string_view p, std::size_t i) {
  std::size_t n = 1;
  const char c = AsciiLower(p[i]);
  while (i + n < p.size() && AsciiLower(p[i + n]) == c) ++n;
  return n;
}

std::string FormatStamp(const Stamp& s, std::string_view p) {
  std::string out;
  for (std::size_t i = 0; i < p.size();) {
    char c = AsciiLower(p[i]);
    std::size_t n = Run(p, i);
    if (c == '\\' && i + 1 < p.size()) {
      out += p[i + 1];
      i += 2;
      continue;
    }
    switch (c) {
      case 'y':
        n = n >= 4 ? 4 : 2;
        if (n == 4) out += std::to_string(s.year);
        else Field(out, s.year % 100, 2);
        break;
      case 'm':
        n = n > 4 ? 4 : n;
        if (n == 4) out += kMonthNames[s.month - 1];
        else if (n == 3) out += kMonthShort[s.month - 1];
        else Field(out, s.month, n);
        break;
      case 'd': n = n >= 2 ? 2 : 1; Field(out, s.day, n); break;
      case 'h': n = n >= 2 ? 2 : 1; Field(out, s.hour, n); break;
      case 'n': n = n >= 2 ? 2 : 1; Field(out, s.minute, n); break;
      case 's': n = n >= 2 ? 2 : 1; Field(out, s.second, n); break;
      default: n = 1; out += p[i];
    }
    i += n;
  }
  return out;
}

void FormatFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  std::optional<Stamp> s = ParseStamp(argv[0]);
  const char* pattern = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  if (!s || pattern == nullptr || std::string_view(pattern).size() > kMaxPattern) {
    sqlite3_result_value(ctx, argv[0]);  // a non-date comes back unchanged
    return;
  }
  std::string text = FormatStamp(*s, pattern);
  sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void YearFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (auto s = ParseStamp(argv[0])) sqlite3_result_int(ctx, s->year);
  else sqlite3_result_null(ctx);
}

void MonthFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (auto s = ParseStamp(argv[0])) sqlite3_result_int(ctx, s->month);
  else sqlite3_result_null(ctx);
}

}  // namespace

int RegisterAccessFunctions(sqlite3* db) {
  constexpr int kFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  std::string format(kFormatFunction);
  int rc = sqlite3_create_function_v2(db, format.c_str(), 2, kFlags, nullptr, FormatFunction, nullptr,
                                      nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function_v2(db, "Year", 1, kFlags, nullptr, YearFunction, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function_v2(db, "Month", 1, kFlags, nullptr, MonthFunction, nullptr, nullptr, nullptr);
  return rc;
}

}  // namespace brenvik::sql_internal
