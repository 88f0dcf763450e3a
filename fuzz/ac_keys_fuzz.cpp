// Holds the AC unit's value-key look-up against the regular expression it stands for: a key is
// a channel key exactly when a search for channel_(\d+)_(.+?) finds one, with the same digits and
// value name, and Get_Value on a unit holding one channel (220 V, 50 Hz, 10 A) answers exactly
// what the key names or std::out_of_range.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "fuzz/fuzz_support.h"
#include "host/frame_codec.h"
#include "host/ttime.h"
#include "tools/sim/engine/golden_replies.h"
#include "units/ac/channel_key.h"
#include "units/ac/k426b_ac.h"

namespace {

using k426b_fuzz::require;

// A unit that has completed a cycle over the golden one-screen block. The host clock stands
// still, so that the unit's values never age past the 61 s after which every key is refused:
// a run longer than a minute would otherwise see "ia" refused and call that a finding.
std::shared_ptr<K426BAC> UnitWithOneChannel() {
  static const boost::posix_time::ptime frozen(boost::gregorian::date(2026, 1, 1));
  set_host_clock([] { return frozen; }, {});
  std::string hex;
  for (const char* at = k426b_golden::kAcAnalogBlock220; *at != '\0'; ++at)
    if (*at != ' ') hex.push_back(*at);
  std::vector<unsigned char> block;
  require(zvk::FromHex(hex, block));
  auto unit = std::make_shared<K426BAC>();
  require(unit->parse40_41(block.data(), static_cast<int>(block.size())) ==
          static_cast<int>(block.size()));
  unit->RoundDone();
  return unit;
}

// What Get_Value must answer for `key`: a value, or nothing for std::out_of_range.
std::optional<float> Expected(const std::string& key) {
  if (key == "ia" || key == "ib" || key == "ic") return 10.0f;
  if (key == "ia_alert" || key == "ib_alert" || key == "ic_alert") return 0.0f;
  static const std::regex pattern("channel_(\\d+)_(.+?)");
  std::smatch found;
  const bool regex_found = std::regex_search(key, found, pattern);
  const std::optional<ChannelKey> matched = find_channel_key(key);
  require(matched.has_value() == regex_found);
  if (!regex_found) return std::nullopt;
  const std::string digits = found[1].str();
  require(std::string(matched->digits) == digits);
  require(std::string(1, matched->value_name) == found[2].str());

  // The channel number as a decimal int, or nothing when it does not fit.
  errno = 0;
  const long long number = std::strtoll(digits.c_str(), nullptr, 10);
  const bool fits = errno == 0 && number <= 2147483647LL;
  const std::optional<int> index = channel_index(matched->digits);
  require(index.has_value() == fits);
  if (fits) require(*index == number);
  if (!fits || number != 0) return std::nullopt;
  switch (matched->value_name) {
    case 'a':
    case 'b':
    case 'c': return 220.0f;
    case 'f': return 50.0f;
    default: return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  k426b_fuzz::silence_stdout();
  // The regular expression engine recurses per character; long keys add nothing but time.
  if (size > 64) return 0;
  static const std::shared_ptr<K426BAC> unit = UnitWithOneChannel();
  const std::string key(reinterpret_cast<const char*>(data), size);
  const std::optional<float> expected = Expected(key);
  try {
    const float value = unit->Get_Value(7, key);
    require(expected.has_value() && value == *expected);
  } catch (const std::out_of_range&) {
    require(!expected.has_value());
  }
  return 0;
}
