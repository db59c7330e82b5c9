// KxDate: a calendar date and time of day, copied by value. It stamps the scope lines of the
// trace streams with the local time. Any thread may use it (the clock read is re-entrant).
#pragma once

#include <string>

class KxOstream;

struct KxDate {
  // The undefined date: 1970-01-01 00:00:00, not defined, not UTC.
  KxDate() = default;
  // The current time in whole seconds, broken down in UTC or in local time.
  explicit KxDate(bool utc);
  KxDate(int year, int month, int day, int hour, int minute, int second, bool utc);

  // "YYYY.MM.DD hh:mm:ss.ffff" (each width a minimum), or "<undef>".
  std::string toString() const;

  int year = 1970;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int fraction = 0;  // printed with 4 digits; always 0 here
  bool defined = false;
  bool utc = false;
};

KxOstream& operator<<(KxOstream& stream, const KxDate& date);
