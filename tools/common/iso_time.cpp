#include "tools/common/iso_time.h"

#include <cstdio>
#include <ctime>

std::string IsoLocalTimeNow() { return IsoLocalTime(std::chrono::system_clock::now()); }

std::string IsoLocalTime(std::chrono::system_clock::time_point time) {
  std::string text;
  text.reserve(32);
  AppendIsoLocalTime(text, time);
  return text;
}

void AppendIsoLocalTime(std::string& out, std::chrono::system_clock::time_point now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  // Every event and frame is dated: the local date, time and offset of a second are made once
  // per thread, and only the milliseconds for each.
  thread_local std::time_t converted_second = -1;
  thread_local std::string date;  // 2026-12-08T14:15:28
  thread_local std::string zone;  // +01:00
  if (seconds != converted_second) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    date = text;
    std::strftime(text, sizeof text, "%z", &local);  // +hhmm
    zone = text;
    zone.insert(3, 1, ':');
    converted_second = seconds;
  }
  const char fraction[4] = {'.', static_cast<char>('0' + millis / 100),
                            static_cast<char>('0' + millis / 10 % 10),
                            static_cast<char>('0' + millis % 10)};
  out += date;
  out.append(fraction, sizeof fraction);
  out += zone;
}

std::optional<std::chrono::system_clock::time_point> ParseIsoTime(const std::string& text) {
  int year, month, day, hour, minute, second, millis, offset_hours, offset_minutes;
  char sign = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d%n", &year, &month, &day,
                  &hour, &minute, &second, &millis, &sign, &offset_hours, &offset_minutes,
                  &consumed) != 10 ||
      static_cast<std::size_t>(consumed) != text.size() || (sign != '+' && sign != '-'))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  const long offset = (sign == '-' ? -1 : 1) * (offset_hours * 3600L + offset_minutes * 60L);
  const std::time_t seconds = timegm(&utc) - offset;
  return std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(millis);
}
