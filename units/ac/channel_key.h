#pragma once

// Finds the channel part of an AC value key ("channel_0_a", "x_channel_12_f_y", ...) without a
// regular expression per look-up. It decides exactly what a search for the ECMAScript pattern
// channel_(\d+)_(.+?) decides: the leftmost "channel_" followed by one or more ASCII digits, an
// underscore and one character that is not a line break ('\n' or '\r'). Greedy digits cannot
// give back a digit to the underscore, and the lazy tail always takes exactly one character.

#include <optional>
#include <string_view>

struct ChannelKey {
  std::string_view digits;  // the channel number as written, leading zeros included
  char value_name;          // the one character after the second underscore
};

std::optional<ChannelKey> find_channel_key(std::string_view key);

// The channel number as a decimal integer; empty when it does not fit an int.
std::optional<int> channel_index(std::string_view digits);
