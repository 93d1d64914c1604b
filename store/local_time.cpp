#include "store/local_time.h"

#include <cstdio>
#include <ctime>

namespace brenvik {

LocalTime ReadLocalClock() {
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm tm {};
  localtime_r(&now.tv_sec, &tm);
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second stays in its minute
  t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return t;
}

std::string DayFirstText(const LocalTime& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour,
                t.minute, t.second);
  return buf;
}

std::string MonthFirstDate(const LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d-%02d-%04d", t.month, t.day, t.year);
  return buf;
}

}  // namespace brenvik
