#include "kxcore/date.h"

#include <cstdio>
#include <ctime>

#include "kxcore/io.h"

KxDate::KxDate(bool isUtc) : defined(true), utc(isUtc) {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  // The re-entrant forms: several threads stamp trace lines at once.
  bool ok = isUtc ? gmtime_r(&now, &parts) != nullptr : localtime_r(&now, &parts) != nullptr;
  if (!ok) {
    defined = false;
    return;
  }
  year = parts.tm_year + 1900;
  month = parts.tm_mon + 1;
  day = parts.tm_mday;
  hour = parts.tm_hour;
  minute = parts.tm_min;
  second = parts.tm_sec;
}

KxDate::KxDate(int y, int mo, int d, int h, int mi, int s, bool isUtc)
    : year(y), month(mo), day(d), hour(h), minute(mi), second(s), defined(true), utc(isUtc) {}

std::string KxDate::toString() const {
  if (!defined) return "<undef>";
  // Fields wider than their minimum print all their digits; 80 bytes hold any ints.
  char text[96];
  int n = std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d.%04d", year, month, day,
                        hour, minute, second, fraction);
  if (n < 0) return std::string();
  return std::string(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
}

KxOstream& operator<<(KxOstream& stream, const KxDate& date) {
  if (stream.enabled()) stream << date.toString();
  return stream;
}
