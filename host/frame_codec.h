#pragma once

// Text frames of the power system's request/response protocol.
//
//   SOI  VER  ADR  CID1  CID2|RTN  LENGTH  INFO         CHKSUM  EOI
//   '~'  2    2    2     2         4       LENID chars  4       '\r'
//
// Every field between SOI and EOI is hexadecimal text, two characters a byte (upper case when
// sent, either case accepted). LENGTH: low 12 bits LENID = number of INFO characters, high 4
// bits LCHKSUM = two's complement, modulo 16, of the sum of LENID's three hex digits. CHKSUM:
// two's complement, modulo 65536, of the sum of the character codes after SOI and before CHKSUM.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/export.h"

namespace zvk {

inline constexpr char kSoi = '~';
inline constexpr char kEoi = '\r';
inline constexpr unsigned kMaxLenid = 0xFFF;
// SOI + VER + ADR + CID1 + CID2 + LENGTH + CHKSUM + EOI, without INFO.
inline constexpr std::size_t kFrameOverhead = 1 + 2 + 2 + 2 + 2 + 4 + 4 + 1;
inline constexpr std::size_t kMaxFrameLength = kFrameOverhead + kMaxLenid - 1;  // LENID is even

// Return codes of a reply (the CID2 position).
enum Rtn : unsigned char {
  kRtnNormal = 0x00,
  kRtnVerError = 0x01,
  kRtnChksumError = 0x02,
  kRtnLchksumError = 0x03,
  kRtnCid2Invalid = 0x04,
  kRtnFormatError = 0x05,
  kRtnInvalidData = 0x06,
};

struct Frame {
  unsigned char ver = 0;
  unsigned char adr = 0;
  unsigned char cid1 = 0;
  unsigned char cid2 = 0;  // CID2 in a query, RTN in a reply
  std::vector<unsigned char> info;

  bool operator==(const Frame& other) const {
    return ver == other.ver && adr == other.adr && cid1 == other.cid1 && cid2 == other.cid2 &&
           info == other.info;
  }
};

// LENGTH field for `lenid` INFO characters (LCHKSUM in the high nibble).
ZVK_API uint16_t LengthField(unsigned lenid);
// CHKSUM of the characters between SOI and CHKSUM, as sent.
ZVK_API uint16_t FrameChecksum(std::string_view body);
// "~...\r", upper-case hex. INFO longer than the frame can carry is a caller error: throws
// std::length_error.
ZVK_API std::string EncodeFrame(const Frame& frame);
ZVK_API std::string ToHex(const unsigned char* bytes, std::size_t length);
inline std::string ToHex(const std::vector<unsigned char>& bytes) {
  return ToHex(bytes.data(), bytes.size());
}
// Reads hex text (either case, no separators); false on an odd length or a non-hex character.
ZVK_API bool FromHex(std::string_view text, std::vector<unsigned char>& bytes);

// Outcome of decoding one frame's text (between SOI and EOI, both excluded).
enum class DecodeStatus {
  kOk,
  kTooShort,
  kNotHex,
  kOddLenid,
  kBadLchksum,
  kLengthMismatch,
  kBadChksum,
};
ZVK_API const char* DescribeStatus(DecodeStatus status);
ZVK_API DecodeStatus DecodeFrameBody(std::string_view body, Frame& frame);

// Streaming decoder: accepts any chunking of the byte stream. Bytes before SOI are noise; a
// new SOI inside a frame abandons the partial frame; a frame longer than the largest possible
// frame is abandoned.
class ZVK_API FrameDecoder {
 public:
  struct Event {
    bool ok = false;
    Frame frame;              // when ok
    std::string reason;       // when not ok
    std::string dropped;      // the raw characters dropped, when not ok
  };

  // Decodes what `bytes` completes; events in stream order.
  std::vector<Event> Feed(const unsigned char* bytes, std::size_t length);
  // Characters of a frame begun but not yet ended.
  const std::string& Pending() const { return pending_; }
  bool InFrame() const { return in_frame_; }
  void Clear();

 private:
  std::string pending_;
  std::string noise_;
  bool in_frame_ = false;
};

}  // namespace zvk
