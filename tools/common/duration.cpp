#include "tools/common/duration.h"

#include <cctype>

std::optional<std::chrono::seconds> ParseDuration(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 9) return std::nullopt;
  const long long number = std::stoll(text.substr(0, digits));
  const std::string unit = text.substr(digits);
  if (unit.empty() || unit == "s") return std::chrono::seconds(number);
  if (unit == "m" || unit == "min") return std::chrono::seconds(number * 60);
  if (unit == "h") return std::chrono::seconds(number * 3600);
  if (unit == "d") return std::chrono::seconds(number * 86400);
  return std::nullopt;
}
