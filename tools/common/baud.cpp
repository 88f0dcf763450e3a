#include "tools/common/baud.h"

#include <utility>

namespace {

const std::vector<std::pair<int, speed_t>>& Table() {
  static const std::vector<std::pair<int, speed_t>> table = {
      {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
      {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  return table;
}

}  // namespace

const std::vector<int>& SupportedBauds() {
  static const std::vector<int> bauds = [] {
    std::vector<int> list;
    for (const auto& [baud, speed] : Table()) list.push_back(baud);
    return list;
  }();
  return bauds;
}

bool IsSupportedBaud(long baud) { return BaudSpeed(baud).has_value(); }

std::string SupportedBaudsText() {
  std::string text;
  for (int baud : SupportedBauds()) text += (text.empty() ? "" : ", ") + std::to_string(baud);
  return text;
}

std::optional<speed_t> BaudSpeed(long baud) {
  for (const auto& [known, speed] : Table())
    if (known == baud) return speed;
  return std::nullopt;
}
