#pragma once

// Text from the line made fit to write out: valid UTF-8 passes unchanged, and each byte that is
// not part of valid UTF-8 is written as the four characters `\xFF` (its value in upper-case hex).

#include <cstddef>
#include <string>
#include <string_view>

// The length of the valid UTF-8 that starts `text`: all of it when the text is valid.
std::size_t ValidUtf8Prefix(std::string_view text);

inline bool IsValidUtf8(std::string_view text) { return ValidUtf8Prefix(text) == text.size(); }

// Appends `text` to `out`, each byte that is not part of valid UTF-8 as `\xFF`. The backslash
// is written as `backslash`: "\\\\" writes the escape inside a JSON string, so that the string
// read back holds the same four characters.
void AppendValidUtf8(std::string& out, std::string_view text, std::string_view backslash = "\\");

// `text` as AppendValidUtf8 writes it.
std::string ValidUtf8(std::string_view text);
