// Feeds arbitrary bytes to the rectifier unit's five reply parsers and its cache load, each from
// an exact-size copy, then closes a cycle over whatever they stored. Nothing may be read outside
// an input, each result must be one its reply can give, and the snapshot must always match the
// module count it carries, so that it loads back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "units/rc/k426b_rc.h"

namespace {

// Lets the harness look at the snapshot a cycle builds.
class InspectedRC : public K426BRC {
 public:
  std::vector<unsigned char> LastSnapshot() const { return ClosedSnapshot(); }
};

int parse(InspectedRC& unit, int (K426BRC::*parser)(const unsigned char*, int),
          const std::vector<unsigned char>& exact) {
  return (unit.*parser)(exact.data(), static_cast<int>(exact.size()));
}

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  k426b_fuzz::silence_stdout();
  if (size == 0) return 0;

  // The first byte picks whether the module count comes from a cache image or an analog reply.
  const bool from_cache = data[0] & 1;
  const std::vector<unsigned char> input(data + 1, data + size);
  const int length = static_cast<int>(input.size());
  auto unit = std::make_shared<InspectedRC>();

  if (from_cache) {
    unit->LoadFromCache(std::vector<unsigned char>(input).data(), length);
  } else {
    const int consumed = parse(*unit, &K426BRC::parse41_41, input);
    require(consumed == -1 || (consumed >= 0 && consumed <= length));
  }
  for (auto parser : {&K426BRC::parse41_41, &K426BRC::parse41_43, &K426BRC::parse41_44}) {
    const int consumed = parse(*unit, parser, input);
    require(consumed >= -1 && consumed <= length);
  }
  const int params40 = parse(*unit, &K426BRC::parse40_46, input);
  require(params40 == -1 || (length >= 21 && params40 == 21 + 4 * input[20]));
  const int params42 = parse(*unit, &K426BRC::parse42_46, input);
  require(params42 == -1 || params42 <= length || (length >= 9 && params42 == 9 + 4 * input[8]));

  unit->RoundDone();
  const std::vector<unsigned char> snapshot = unit->LastSnapshot();
  require(snapshot.size() == 149 + 51 * static_cast<std::size_t>(snapshot[141]));
  require(unit->LoadFromCache(snapshot.data(), static_cast<int>(snapshot.size())));
  return 0;
}
