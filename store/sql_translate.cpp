// Access dialect -> SQLite. A tokenizer splits the statement first, so text
// literals are only ever replaced whole and never looked inside.
#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

#include "store/ascii_case.h"
#include "store/sql_internal.h"

namespace brenvik::sql_internal {
namespace {

enum class Tok { Space, Word, Text, QuotedName, Bracket, Hash, Punct };

struct Token {
  Tok kind;
  std::string text;  // the token as written (Text: with its quotes)
};

constexpr std::size_t kMaxStatement = 1 << 20;  // bytes of one statement

constexpr std::string_view kErrTooLong = "statement too long";
constexpr std::string_view kErrZeroByte = "statement contains a zero byte";
constexpr std::string_view kErrOpenText = "unterminated text literal";
constexpr std::string_view kErrOpenName = "unterminated quoted name";
constexpr std::string_view kErrOpenBracket = "unterminated [name]";
constexpr std::string_view kErrOpenHash = "unterminated #date# literal";
constexpr std::string_view kErrBadHash = "invalid #date# literal: ";
constexpr std::string_view kErrTop = "TOP is supported only right after the first SELECT";

bool IsWordChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

// Finds the closing `close` from s[i] (just past the opener); a doubled
// closer stands for itself when `doubling` is set. npos when missing.
std::size_t FindClose(std::string_view s, std::size_t i, char close, bool doubling) {
  for (; i < s.size(); ++i) {
    if (s[i] != close) continue;
    if (doubling && i + 1 < s.size() && s[i + 1] == close) {
      ++i;
      continue;
    }
    return i;
  }
  return std::string_view::npos;
}

bool Tokenize(std::string_view s, std::vector<Token>& out, std::string& error) {
  std::size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    std::size_t end = i + 1;
    Tok kind = Tok::Punct;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      kind = Tok::Space;
      while (end < s.size() && (s[end] == ' ' || s[end] == '\t' || s[end] == '\r' || s[end] == '\n')) ++end;
    } else if (IsWordChar(c)) {
      kind = Tok::Word;
      while (end < s.size() && IsWordChar(s[end])) ++end;
    } else if (c == '\'' || c == '"' || c == '[' || c == '#') {
      char close = c == '[' ? ']' : c;
      std::size_t at = FindClose(s, i + 1, close, c == '\'' || c == '"');
      if (at == std::string_view::npos) {
        error = c == '\'' ? kErrOpenText : c == '"' ? kErrOpenName : c == '[' ? kErrOpenBracket : kErrOpenHash;
        return false;
      }
      kind = c == '\'' ? Tok::Text : c == '"' ? Tok::QuotedName : c == '[' ? Tok::Bracket : Tok::Hash;
      end = at + 1;
    }
    out.push_back(Token{kind, std::string(s.substr(i, end - i))});
    i = end;
  }
  return true;
}

// ---- dates -------------------------------------------------------------

struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool has_time = false;
};

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool Valid(const DateTime& d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.year < 100 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1) return false;
  int days = kDays[d.month - 1] + (d.month == 2 && IsLeap(d.year) ? 1 : 0);
  return d.day <= days && d.hour >= 0 && d.hour <= 23 && d.minute >= 0 && d.minute <= 59 &&
         d.second >= 0 && d.second <= 59;
}

std::string Iso(const DateTime& d) {
  char buf[40];
  if (d.has_time)
    std::snprintf(buf, sizeof buf, "'%04d-%02d-%02d %02d:%02d:%02d'", d.year, d.month, d.day, d.hour,
                  d.minute, d.second);
  else
    std::snprintf(buf, sizeof buf, "'%04d-%02d-%02d'", d.year, d.month, d.day);
  return buf;
}

// Reads min..max digits at s[i].
bool Digits(std::string_view s, std::size_t& i, int min, int max, int& value) {
  int n = 0;
  value = 0;
  while (i < s.size() && n < max && std::isdigit(static_cast<unsigned char>(s[i]))) {
    value = value * 10 + (s[i] - '0');
    ++i;
    ++n;
  }
  return n >= min;
}

// " H:M[:S]" at s[i] through to the end of s.
bool TimePart(std::string_view s, std::size_t i, DateTime& d) {
  if (i == s.size()) return true;
  if (s[i] != ' ') return false;
  ++i;
  if (!Digits(s, i, 1, 2, d.hour) || i >= s.size() || s[i] != ':' || !Digits(s, ++i, 1, 2, d.minute))
    return false;
  if (i < s.size() && s[i] == ':' && !Digits(s, ++i, 1, 2, d.second)) return false;
  d.has_time = true;
  return i == s.size();
}

// #MM-DD-YYYY[ H:M:S]# (also with '/'), the dialect's month-first literal.
std::optional<DateTime> ParseHashDate(std::string_view s) {
  DateTime d;
  std::size_t i = 0;
  if (!Digits(s, i, 1, 2, d.month) || i >= s.size() || (s[i] != '-' && s[i] != '/')) return std::nullopt;
  char sep = s[i];
  if (!Digits(s, ++i, 1, 2, d.day) || i >= s.size() || s[i] != sep || !Digits(s, ++i, 4, 4, d.year))
    return std::nullopt;
  if (!TimePart(s, i, d) || !Valid(d)) return std::nullopt;
  return d;
}

// A quoted text in the day-first layout, optionally followed by a time.
std::optional<DateTime> ParseDayFirst(std::string_view s, std::string_view layout) {
  DateTime d;
  std::size_t i = 0, k = 0;
  while (k < layout.size()) {
    char f = layout[k];
    std::size_t run = 1;
    while (k + run < layout.size() && layout[k + run] == f) ++run;
    if (f == 'd' || f == 'M' || f == 'y') {
      int* field = f == 'd' ? &d.day : f == 'M' ? &d.month : &d.year;
      int min = f == 'y' ? 4 : 1, max = f == 'y' ? 4 : 2;
      if (!Digits(s, i, min, max, *field)) return std::nullopt;
      k += run;
      continue;
    }
    if (i >= s.size() || s[i] != f) return std::nullopt;
    ++i;
    ++k;
  }
  if (!TimePart(s, i, d) || !Valid(d)) return std::nullopt;
  return d;
}

// The literal's value with doubled quotes made single again.
std::string TextValue(const std::string& token) {
  std::string v;
  for (std::size_t i = 1; i + 1 < token.size(); ++i) {
    v += token[i];
    if (token[i] == '\'') ++i;
  }
  return v;
}

std::string BracketToQuoted(const std::string& token) {
  std::string out = "\"";
  for (std::size_t i = 1; i + 1 < token.size(); ++i) {
    if (token[i] == '"') out += '"';
    out += token[i];
  }
  return out + "\"";
}

// ---- statement shape ------------------------------------------------------

std::size_t NextSignificant(const std::vector<Token>& t, std::size_t i) {
  while (i < t.size() && t[i].kind == Tok::Space) ++i;
  return i;
}

bool IsWord(const std::vector<Token>& t, std::size_t i, std::string_view w) {
  return i < t.size() && t[i].kind == Tok::Word && SameIgnoringCase(t[i].text, w);
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Removes "TOP n" after the leading SELECT [DISTINCT]; returns n or "".
bool TakeTop(std::vector<Token>& t, std::string& limit, std::string& error) {
  std::size_t first = NextSignificant(t, 0);
  if (!IsWord(t, first, "SELECT")) return true;
  std::size_t i = NextSignificant(t, first + 1);
  if (IsWord(t, i, "DISTINCT") || IsWord(t, i, "ALL")) i = NextSignificant(t, i + 1);
  if (!IsWord(t, i, "TOP")) return true;
  std::size_t n = NextSignificant(t, i + 1);
  std::size_t after = NextSignificant(t, n + 1);
  if (n >= t.size() || t[n].kind != Tok::Word || !AllDigits(t[n].text) || IsWord(t, after, "PERCENT")) {
    error = kErrTop;
    return false;
  }
  limit = t[n].text;
  t.erase(t.begin() + static_cast<std::ptrdiff_t>(i), t.begin() + static_cast<std::ptrdiff_t>(after));
  return true;
}

// "DELETE * FROM" -> "DELETE FROM".
void DropDeleteStar(std::vector<Token>& t) {
  std::size_t first = NextSignificant(t, 0);
  if (!IsWord(t, first, "DELETE")) return;
  std::size_t star = NextSignificant(t, first + 1);
  if (star < t.size() && t[star].kind == Tok::Punct && t[star].text == "*" &&
      IsWord(t, NextSignificant(t, star + 1), "FROM"))
    t.erase(t.begin() + static_cast<std::ptrdiff_t>(first + 1), t.begin() + static_cast<std::ptrdiff_t>(star + 1));
}

bool FollowsSelect(const std::vector<Token>& t, std::size_t i) {
  while (i > 0) {
    --i;
    if (t[i].kind == Tok::Space) continue;
    return IsWord(t, i, "SELECT") || IsWord(t, i, "DISTINCT") || IsWord(t, i, "ALL");
  }
  return false;
}

// ---- which texts are dates ----------------------------------------------

// The date/time columns of the schema: only a text that goes into one of
// them, or is compared with one, is read as a day-first date.
constexpr std::string_view kDateColumns[] = {"LastEdit", "FirstMail", "SecondMail", "Timestmp", "SpamDate"};

bool IsPunct(const std::vector<Token>& t, std::size_t i, std::string_view p) {
  return i < t.size() && t[i].kind == Tok::Punct && t[i].text == p;
}

bool IsDateColumn(const Token& tok) {
  std::string_view name = tok.text;
  if (tok.kind == Tok::QuotedName || tok.kind == Tok::Bracket) name = name.substr(1, name.size() - 2);
  else if (tok.kind != Tok::Word) return false;
  for (std::string_view column : kDateColumns)
    if (SameIgnoringCase(name, column)) return true;
  return false;
}

bool IsComparison(const Token& tok) {
  return tok.kind == Tok::Punct && (tok.text == "=" || tok.text == "<" || tok.text == ">");
}

// From t[i], steps over blanks and parentheses in direction `step`.
std::size_t SkipFiller(const std::vector<Token>& t, std::size_t i, int step) {
  while (i < t.size() && (t[i].kind == Tok::Space || IsPunct(t, i, "(") || IsPunct(t, i, ")"))) i += step;
  return i;  // past either end: t.size() or (size_t)-1 wraps to >= size
}

// "col op text" or "text op col" with a date column, op one of = < > <= >= <>.
bool ComparedWithDateColumn(const std::vector<Token>& t, std::size_t i) {
  for (int step : {-1, 1}) {
    std::size_t j = i + step;
    while (j < t.size() && t[j].kind == Tok::Space) j += step;
    if (j >= t.size() || !IsComparison(t[j])) continue;
    while (j < t.size() && IsComparison(t[j])) j += step;
    j = SkipFiller(t, j, step);
    if (j < t.size() && IsDateColumn(t[j])) return true;
  }
  return false;
}

// INSERT INTO table (columns) SELECT values | VALUES (values): marks the
// text literals that stand in the slot of a date column.
std::vector<bool> InsertedDates(const std::vector<Token>& t) {
  std::vector<bool> dates(t.size(), false);
  if (!IsWord(t, NextSignificant(t, 0), "INSERT")) return dates;
  std::size_t i = 0;
  while (i < t.size() && !IsPunct(t, i, "(")) ++i;
  std::vector<bool> columns;  // one per column: a date column?
  bool date = false;
  for (++i; i < t.size() && !IsPunct(t, i, ")"); ++i) {
    if (IsPunct(t, i, ",")) {
      columns.push_back(date);
      date = false;
    } else if (t[i].kind != Tok::Space) {
      date = IsDateColumn(t[i]);
    }
  }
  columns.push_back(date);
  std::size_t start = NextSignificant(t, i + 1);
  if (IsWord(t, start, "VALUES")) start = NextSignificant(t, start + 1);  // its "(" is the top level
  else if (!IsWord(t, start, "SELECT")) return dates;
  int depth = 0;
  std::size_t slot = 0;
  for (i = start + 1; i < t.size() && depth >= 0; ++i) {
    if (IsPunct(t, i, "(")) ++depth;
    else if (IsPunct(t, i, ")")) --depth;
    else if (depth == 0 && IsPunct(t, i, ",")) ++slot;
    else if (depth == 0 && t[i].kind == Tok::Text && slot < columns.size()) dates[i] = columns[slot];
    if (depth == 0 && IsWord(t, i, "FROM")) break;
  }
  return dates;
}

bool ReplaceTokens(std::vector<Token>& t, std::string_view layout, std::string& error) {
  const std::vector<bool> inserted_dates = InsertedDates(t);
  for (std::size_t i = 0; i < t.size(); ++i) {
    Token& tok = t[i];
    switch (tok.kind) {
      case Tok::Text:
        if (!inserted_dates[i] && !ComparedWithDateColumn(t, i)) break;
        if (auto d = ParseDayFirst(TextValue(tok.text), layout)) tok.text = Iso(*d);
        break;
      case Tok::Hash: {
        std::string inner = tok.text.substr(1, tok.text.size() - 2);
        auto d = ParseHashDate(inner);
        if (!d) {
          error = std::string(kErrBadHash) + tok.text;
          return false;
        }
        tok.kind = Tok::Text;
        tok.text = Iso(*d);
        break;
      }
      case Tok::Bracket:
        tok.kind = Tok::QuotedName;
        tok.text = BracketToQuoted(tok.text);
        break;
      case Tok::Word: {
        std::size_t next = NextSignificant(t, i + 1);
        bool call = next < t.size() && t[next].kind == Tok::Punct && t[next].text == "(";
        if (call && (SameIgnoringCase(tok.text, "Format$") || SameIgnoringCase(tok.text, "Format")))
          tok.text = kFormatFunction;
        else if (IsWord(t, i, "TOP") && FollowsSelect(t, i)) {
          error = kErrTop;  // TOP in a subquery
          return false;
        }
        break;
      }
      default: break;
    }
  }
  return true;
}

void AppendLimit(std::vector<Token>& t, const std::string& limit) {
  std::size_t end = t.size();
  while (end > 0 && (t[end - 1].kind == Tok::Space || (t[end - 1].kind == Tok::Punct && t[end - 1].text == ";")))
    --end;
  t.insert(t.begin() + static_cast<std::ptrdiff_t>(end), Token{Tok::Word, " LIMIT " + limit});
}

}  // namespace

bool IsUsableLayout(std::string_view layout) {
  int d = 0, m = 0, y = 0;
  for (std::size_t k = 0; k < layout.size();) {
    char f = layout[k];
    std::size_t run = 1;
    while (k + run < layout.size() && layout[k + run] == f) ++run;
    if (f == 'd') ++d;
    else if (f == 'M') ++m;
    else if (f == 'y') ++y;
    else if (std::isalnum(static_cast<unsigned char>(f))) return false;
    if ((f == 'd' || f == 'M') && run > 2) return false;
    if (f == 'y' && run != 4) return false;
    k += run;
  }
  return d == 1 && m == 1 && y == 1;
}

bool Translate(std::string_view statement, std::string_view layout, std::string& sqlite,
               std::string& error) {
  sqlite.clear();
  error.clear();
  if (statement.size() > kMaxStatement) {
    error = kErrTooLong;
    return false;
  }
  if (statement.find('\0') != std::string_view::npos) {
    error = kErrZeroByte;  // SQLite would end the text there
    return false;
  }
  std::vector<Token> tokens;
  if (!Tokenize(statement, tokens, error)) return false;
  std::string limit;
  if (!TakeTop(tokens, limit, error)) return false;
  DropDeleteStar(tokens);
  if (!ReplaceTokens(tokens, layout, error)) return false;
  if (!limit.empty()) AppendLimit(tokens, limit);
  for (const Token& t : tokens) sqlite += t.text;
  return true;
}

}  // namespace brenvik::sql_internal
