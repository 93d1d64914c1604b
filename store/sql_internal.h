#pragma once
// Pieces of the SQL layer shared between its source files.
#include <sqlite3.h>

#include <mutex>
#include <string>
#include <string_view>

namespace brenvik::sql_internal {

// Default of the day-first layout option (-80).
inline constexpr std::string_view kDefaultDayFirstLayout = "dd.MM.yyyy";

// True when `layout` is a layout the translator can read (d, M, y runs and
// separators, day, month and year each exactly once).
bool IsUsableLayout(std::string_view layout);

// Translates one dialect statement with the given day-first layout.
bool Translate(std::string_view statement, std::string_view layout, std::string& sqlite,
               std::string& error);

// Registers AccessFormat(value, pattern), Year(value) and Month(value).
int RegisterAccessFunctions(sqlite3* db);

// Error numbers of the layer's own failures; SQLite's codes are offset by
// kSqliteErrorBase. None is 0 or 1, which callers read as success.
inline constexpr int kErrorDialect = 2;        // statement not translatable
inline constexpr int kErrorNoDatabase = 3;     // no database open
inline constexpr int kErrorTooManyRows = 4;    // result over kMaxRows
inline constexpr int kErrorNotOneStatement = 5;
inline constexpr int kErrorNoFileName = 6;     // connection string without DBQ=
inline constexpr int kSqliteErrorBase = 1000;

// The process's one connection and the options, all under `mutex`.
struct Layer {
  std::mutex mutex;
  sqlite3* db = nullptr;
  std::string day_first_layout{kDefaultDayFirstLayout};
  int busy_timeout_ms = 5000;
};
// Never destroyed: threads that outlive main may still call the layer.
Layer& TheLayer();

// Records an error for the calling thread.
void SetThreadError(int number, std::string text);

// The file named after "DBQ=" (case-insensitive) up to the next ';' or the
// end; "DBQ={...}" holds a name with ';' in it ("}}" for '}').
bool DatabaseFileOf(std::string_view connection_string, std::string& path);

// Opens `path` as the connection (layer mutex held). On failure records the
// error for the calling thread and leaves layer.db null. A database that
// cannot be written stays open for reading, with the error recorded.
void OpenLocked(Layer& layer, const std::string& path);

// Name under which the dialect's Format$ / Format is registered.
inline constexpr std::string_view kFormatFunction = "AccessFormat";

}  // namespace brenvik::sql_internal
