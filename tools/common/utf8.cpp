#include "tools/common/utf8.h"

namespace {

// The length of the UTF-8 sequence at the start of `text`, or 0 when its first byte does not
// begin a valid one (a stray continuation byte, an over-long form, a surrogate, a code point
// beyond U+10FFFF, a sequence cut short).
std::size_t SequenceLength(std::string_view text) {
  const auto byte = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range the second byte must fall in
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // over-long below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // over-long below U+10000
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t index = 2; index < length; ++index)
    if (byte(index) < 0x80 || byte(index) > 0xBF) return 0;
  return length;
}

}  // namespace

std::size_t ValidUtf8Prefix(std::string_view text) {
  std::size_t valid = 0;
  while (valid < text.size()) {
    // Plain ASCII, the most of any text, without the sequence checks.
    if (static_cast<unsigned char>(text[valid]) < 0x80) {
      ++valid;
      continue;
    }
    const std::size_t length = SequenceLength(text.substr(valid));
    if (length == 0) break;
    valid += length;
  }
  return valid;
}

void AppendValidUtf8(std::string& out, std::string_view text, std::string_view backslash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  while (!text.empty()) {
    const std::size_t valid = ValidUtf8Prefix(text);
    out.append(text.data(), valid);
    if (valid == text.size()) return;
    const auto byte = static_cast<unsigned char>(text[valid]);
    out += backslash;
    out += 'x';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
    text.remove_prefix(valid + 1);
  }
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendValidUtf8(out, text);
  return out;
}
