#pragma once
// Local wall-clock readings and the date/time texts built from them.
#include <string>

namespace brenvik {

struct LocalTime {
  int year = 1970;      // four digits
  int month = 1;        // 1..12
  int day = 1;          // 1..31
  int hour = 0;         // 0..23
  int minute = 0;       // 0..59
  int second = 0;       // 0..59
  int millisecond = 0;  // 0..999
};

// One reading of the local clock.
LocalTime ReadLocalClock();

// "dd.MM.yyyy hh:mm:ss" (greylist columns, log rows).
std::string DayFirstText(const LocalTime& t);
// "MM-DD-YYYY" (inside #...# date literals).
std::string MonthFirstDate(const LocalTime& t);

}  // namespace brenvik
