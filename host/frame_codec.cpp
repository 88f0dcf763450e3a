#include "host/frame_codec.h"

#include <stdexcept>
#include <utility>

namespace zvk {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendHexByte(std::string& out, unsigned value) {
  out.push_back(kHexDigits[(value >> 4) & 0xF]);
  out.push_back(kHexDigits[value & 0xF]);
}

// Reads `digits` hex characters at `text[at]`; -1 when one is not hex.
long ReadHex(std::string_view text, std::size_t at, std::size_t digits) {
  long value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const int digit = HexValue(text[at + i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

uint16_t LengthField(unsigned lenid) {
  lenid &= kMaxLenid;
  const unsigned digit_sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
  const unsigned lchksum = (16 - digit_sum % 16) % 16;
  return static_cast<uint16_t>((lchksum << 12) | lenid);
}

uint16_t FrameChecksum(std::string_view body) {
  unsigned sum = 0;
  for (char c : body) sum += static_cast<unsigned char>(c);
  return static_cast<uint16_t>((65536u - sum % 65536u) % 65536u);
}

std::string ToHex(const unsigned char* bytes, std::size_t length) {
  std::string text;
  text.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) AppendHexByte(text, bytes[i]);
  return text;
}

bool FromHex(std::string_view text, std::vector<unsigned char>& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const long value = ReadHex(text, i, 2);
    if (value < 0) return false;
    bytes.push_back(static_cast<unsigned char>(value));
  }
  return true;
}

std::string EncodeFrame(const Frame& frame) {
  const std::size_t lenid = frame.info.size() * 2;
  if (lenid > kMaxLenid) throw std::length_error("frame INFO too long");
  std::string text;
  text.reserve(kFrameOverhead + lenid);
  text.push_back(kSoi);
  AppendHexByte(text, frame.ver);
  AppendHexByte(text, frame.adr);
  AppendHexByte(text, frame.cid1);
  AppendHexByte(text, frame.cid2);
  const uint16_t length = LengthField(static_cast<unsigned>(lenid));
  AppendHexByte(text, length >> 8);
  AppendHexByte(text, length & 0xFF);
  for (unsigned char byte : frame.info) AppendHexByte(text, byte);
  const uint16_t checksum = FrameChecksum(std::string_view(text).substr(1));
  AppendHexByte(text, checksum >> 8);
  AppendHexByte(text, checksum & 0xFF);
  text.push_back(kEoi);
  return text;
}

const char* DescribeStatus(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOk: return "ok";
    case DecodeStatus::kTooShort: return "frame too short";
    case DecodeStatus::kNotHex: return "non-hex character";
    case DecodeStatus::kOddLenid: return "odd LENID";
    case DecodeStatus::kBadLchksum: return "bad LCHKSUM";
    case DecodeStatus::kLengthMismatch: return "LENID does not match the frame";
    case DecodeStatus::kBadChksum: return "bad CHKSUM";
  }
  return "unknown";
}

DecodeStatus DecodeFrameBody(std::string_view body, Frame& frame) {
  // VER ADR CID1 CID2 LENGTH: 12 characters, then INFO, then 4 of CHKSUM.
  constexpr std::size_t kHeader = 12;
  constexpr std::size_t kChecksum = 4;
  if (body.size() < kHeader + kChecksum) return DecodeStatus::kTooShort;
  const long ver = ReadHex(body, 0, 2);
  const long adr = ReadHex(body, 2, 2);
  const long cid1 = ReadHex(body, 4, 2);
  const long cid2 = ReadHex(body, 6, 2);
  const long length = ReadHex(body, 8, 4);
  if (ver < 0 || adr < 0 || cid1 < 0 || cid2 < 0 || length < 0) return DecodeStatus::kNotHex;
  const unsigned lenid = static_cast<unsigned>(length) & kMaxLenid;
  if (LengthField(lenid) != static_cast<unsigned>(length)) return DecodeStatus::kBadLchksum;
  if (lenid % 2 != 0) return DecodeStatus::kOddLenid;
  if (body.size() != kHeader + lenid + kChecksum) return DecodeStatus::kLengthMismatch;
  const long checksum = ReadHex(body, kHeader + lenid, kChecksum);
  if (checksum < 0) return DecodeStatus::kNotHex;
  std::vector<unsigned char> info;
  if (!FromHex(body.substr(kHeader, lenid), info)) return DecodeStatus::kNotHex;
  if (FrameChecksum(body.substr(0, kHeader + lenid)) != checksum) return DecodeStatus::kBadChksum;
  frame.ver = static_cast<unsigned char>(ver);
  frame.adr = static_cast<unsigned char>(adr);
  frame.cid1 = static_cast<unsigned char>(cid1);
  frame.cid2 = static_cast<unsigned char>(cid2);
  frame.info = std::move(info);
  return DecodeStatus::kOk;
}

void FrameDecoder::Clear() {
  pending_.clear();
  noise_.clear();
  in_frame_ = false;
}

std::vector<FrameDecoder::Event> FrameDecoder::Feed(const unsigned char* bytes, std::size_t length) {
  std::vector<Event> events;
  auto drop = [&events](std::string reason, std::string dropped) {
    Event event;
    event.reason = std::move(reason);
    event.dropped = std::move(dropped);
    events.push_back(std::move(event));
  };
  for (std::size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (c == kSoi) {
      if (!noise_.empty()) drop("noise before SOI", std::exchange(noise_, std::string()));
      if (in_frame_) drop("truncated frame", kSoi + std::exchange(pending_, std::string()));
      in_frame_ = true;
      pending_.clear();
      continue;
    }
    if (!in_frame_) {
      // Keep a bounded sample of what precedes SOI; a long run of noise is reported in pieces.
      noise_.push_back(c);
      if (noise_.size() >= kMaxFrameLength) drop("noise before SOI", std::exchange(noise_, std::string()));
      continue;
    }
    if (c == kEoi) {
      Event event;
      const DecodeStatus status = DecodeFrameBody(pending_, event.frame);
      if (status == DecodeStatus::kOk) {
        event.ok = true;
        events.push_back(std::move(event));
      } else {
        drop(DescribeStatus(status), kSoi + pending_ + kEoi);
      }
      pending_.clear();
      in_frame_ = false;
      continue;
    }
    pending_.push_back(c);
    if (pending_.size() + 2 > kMaxFrameLength) {
      drop("frame longer than the largest reply", kSoi + std::exchange(pending_, std::string()));
      in_frame_ = false;
    }
  }
  return events;
}

}  // namespace zvk
