#include "units/ac/channel_key.h"

#include <climits>

namespace {

constexpr std::string_view kPrefix = "channel_";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_line_break(char c) { return c == '\n' || c == '\r'; }

}  // namespace

std::optional<ChannelKey> find_channel_key(std::string_view key) {
  for (std::size_t start = key.find(kPrefix); start != std::string_view::npos;
       start = key.find(kPrefix, start + 1)) {
    const std::size_t digits_begin = start + kPrefix.size();
    std::size_t digits_end = digits_begin;
    while (digits_end < key.size() && is_digit(key[digits_end])) ++digits_end;
    if (digits_end == digits_begin) continue;
    const std::size_t value_at = digits_end + 1;
    if (value_at >= key.size() || key[digits_end] != '_' || is_line_break(key[value_at])) continue;
    return ChannelKey{key.substr(digits_begin, digits_end - digits_begin), key[value_at]};
  }
  return std::nullopt;
}

std::optional<int> channel_index(std::string_view digits) {
  long long value = 0;
  for (char digit : digits) {
    value = value * 10 + (digit - '0');
    if (value > INT_MAX) return std::nullopt;
  }
  return static_cast<int>(value);
}
