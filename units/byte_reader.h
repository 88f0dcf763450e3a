#pragma once

// Bounds-checked reader over one reply's bytes. Every read checks what remains first and
// leaves the reader unchanged when it does not fit, so a parser can never read at or past the
// end of its input, whatever a count inside the input says.

#include <cstddef>
#include <cstring>

class ByteReader {
 public:
  ByteReader(const unsigned char* begin, int length)
      : begin_(begin), cursor_(begin), end_(begin + (length > 0 ? length : 0)) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - cursor_); }
  std::size_t consumed() const { return static_cast<std::size_t>(cursor_ - begin_); }
  bool has(std::size_t count) const { return count <= remaining(); }

  bool u8(unsigned char& value) {
    if (!has(1)) return false;
    value = *cursor_++;
    return true;
  }
  // Copies `count` bytes to `out` (out may be null to only check and advance).
  bool bytes(void* out, std::size_t count) {
    if (!has(count)) return false;
    if (out != nullptr && count != 0) std::memcpy(out, cursor_, count);
    cursor_ += count;
    return true;
  }
  bool skip(std::size_t count) { return bytes(nullptr, count); }
  // The next `count` bytes without consuming them, or null when they do not fit.
  const unsigned char* peek(std::size_t count) const { return has(count) ? cursor_ : nullptr; }

 private:
  const unsigned char* begin_;
  const unsigned char* cursor_;
  const unsigned char* end_;
};
