#include "core/values/internet_date_time.h"

#include <cstdio>

namespace talvo {
namespace {

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::string formatInternetDateTime(WallTime time) {
  using namespace std::chrono;
  auto seconds = floor<std::chrono::seconds>(time);
  auto days = floor<std::chrono::days>(seconds);
  year_month_day date{days};
  hh_mm_ss clock{seconds - days};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::optional<WallTime> parseInternetDateTime(std::string_view text, FractionalSeconds mode) {
  using namespace std::chrono;
  int y, mo, d, h, mi, s;
  if (!readDigits(text, 0, 4, y) || text.size() < 20 || text[4] != '-' || !readDigits(text, 5, 2, mo) ||
      text[7] != '-' || !readDigits(text, 8, 2, d) || text[10] != 'T' || !readDigits(text, 11, 2, h) ||
      text[13] != ':' || !readDigits(text, 14, 2, mi) || text[16] != ':' || !readDigits(text, 17, 2, s))
    return std::nullopt;
  std::size_t at = 19;
  nanoseconds fraction{0};
  if (text[at] == '.') {
    if (mode != FractionalSeconds::required) return std::nullopt;
    ++at;
    std::size_t first = at;
    long long scale = 100000000;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      fraction += nanoseconds((text[at] - '0') * scale);
      scale /= 10;
      ++at;
    }
    if (at == first) return std::nullopt;
  } else if (mode == FractionalSeconds::required) {
    return std::nullopt;
  }
  if (at >= text.size()) return std::nullopt;
  minutes offset{0};
  if (text[at] == 'Z') {
    ++at;
  } else if (text[at] == '+' || text[at] == '-') {
    int oh, om;
    if (!readDigits(text, at + 1, 2, oh) || at + 3 >= text.size() || text[at + 3] != ':' ||
        !readDigits(text, at + 4, 2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offset = hours(oh) + minutes(om);
    if (text[at] == '-') offset = -offset;
    at += 6;
  } else {
    return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  const sys_seconds instant = sys_days{date} + hours(h) + minutes(mi) + seconds(s) - offset;
  // The clock's nanosecond ticks span only the years 1678-2261; a valid text outside them
  // (for example year 9999) has no time point and must not overflow into a wrong one.
  constexpr auto earliest = ceil<seconds>(WallTime::min().time_since_epoch()) + seconds(1);
  constexpr auto latest = floor<seconds>(WallTime::max().time_since_epoch()) - seconds(1);
  if (instant.time_since_epoch() < earliest || instant.time_since_epoch() > latest) return std::nullopt;
  return time_point_cast<WallTime::duration>(instant) + duration_cast<WallTime::duration>(fraction);
}

std::optional<WallTime> parseInternetDateTimeEither(std::string_view text) {
  if (auto time = parseInternetDateTime(text, FractionalSeconds::required)) return time;
  return parseInternetDateTime(text, FractionalSeconds::absent);
}

}  // namespace talvo
