#pragma once

// Virtual-table slot of a virtual member function under the Itanium C++ ABI, where a pointer to
// a virtual member holds 1 + its byte offset in the table. The slot order is the binary
// interface between the host and a plug-in, so tests pin it down.

#include <cstddef>
#include <cstring>

template <typename Member>
std::ptrdiff_t slot_of(Member member) {
  struct {
    std::ptrdiff_t pointer;
    std::ptrdiff_t adjustment;
  } representation;
  static_assert(sizeof member == sizeof representation, "Itanium member function pointer");
  std::memcpy(&representation, &member, sizeof representation);
  return (representation.pointer - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}
