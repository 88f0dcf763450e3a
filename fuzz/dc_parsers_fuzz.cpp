// Feeds arbitrary bytes to the DC unit's two reply parsers, each from an exact-size copy, then
// closes a cycle over whatever they stored. A parser must never read outside its input and must
// answer -1 or a count within the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "units/dc/k426b_dc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  k426b_fuzz::silence_stdout();
  if (size == 0) return 0;

  static const auto unit = std::make_shared<K426BDC>("K426B");
  const bool analog = (data[0] & 1) != 0;
  const std::vector<unsigned char> info(data + 1, data + size);
  const int length = static_cast<int>(info.size());
  const int consumed = analog ? unit->parse42_41(info.data(), length) : unit->parse42_44(info.data(), length);
  if (consumed != -1 && (consumed < 0 || consumed > length)) std::abort();
  if ((data[0] & 2) != 0) unit->RoundDone();
  return 0;
}
