#include "host/frame_codec.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/recording_host.h"

namespace {

using zvk::DecodeStatus;
using zvk::Frame;

struct GoldenFrame {
  const char* text;  // without the CR
  unsigned char ver, adr, cid1, cid2;
  const char* info;
};

// Frames captured from equipment of this frame family, plus the query the driver sends first.
const GoldenFrame kGolden[] = {
    {"~20014041E002FFFD11", 0x20, 0x01, 0x40, 0x41, "FF"},
    {"~20024642E00202FD33", 0x20, 0x02, 0x46, 0x42, "02"},
    {"~20024600B014026EF05AA0022BFDD5C0F915", 0x20, 0x02, 0x46, 0x00, "026EF05AA0022BFDD5C0"},
    {"~25014600004C000110000000000000000000000000000000000600000000000000000000000E000000000000EF3A",
     0x25, 0x01, 0x46, 0x00,
     "000110000000000000000000000000000000000600000000000000000000000E000000000000"},
    {"~250146C10000FD9A", 0x25, 0x01, 0x46, 0xC1, ""},
    {"~25014600602850313653313030412D313831322D312E30302000F58E", 0x25, 0x01, 0x46, 0x00,
     "50313653313030412D313831322D312E30302000"},
    {"~25004609E00204FD2B", 0x25, 0x00, 0x46, 0x09, "04"},
    {"~250046000000FDAF", 0x25, 0x00, 0x46, 0x00, ""},
};

Frame FrameOf(const GoldenFrame& golden) {
  Frame frame{golden.ver, golden.adr, golden.cid1, golden.cid2, hex_bytes(golden.info)};
  return frame;
}

std::vector<zvk::FrameDecoder::Event> FeedText(zvk::FrameDecoder& decoder, const std::string& text) {
  return decoder.Feed(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(FrameCodec, EncodesEveryGoldenFrameToItsCapturedText) {
  for (const GoldenFrame& golden : kGolden)
    EXPECT_EQ(zvk::EncodeFrame(FrameOf(golden)), std::string(golden.text) + "\r") << golden.text;
}

TEST(FrameCodec, DecodesEveryGoldenFrameToItsFields) {
  for (const GoldenFrame& golden : kGolden) {
    Frame frame;
    const std::string body = std::string(golden.text).substr(1);
    ASSERT_EQ(zvk::DecodeFrameBody(body, frame), DecodeStatus::kOk) << golden.text;
    EXPECT_EQ(frame, FrameOf(golden)) << golden.text;
  }
}

TEST(FrameCodec, LengthFieldAvoidsTheCommonChecksumTraps) {
  EXPECT_EQ(zvk::LengthField(0), 0x0000);
  EXPECT_EQ(zvk::LengthField(2), 0xE002);
  EXPECT_EQ(zvk::LengthField(18), 0xD012);
  // Digit sum 4 + 12 = 16: LCHKSUM is 0, not 16.
  EXPECT_EQ(zvk::LengthField(76), 0x004C);
  EXPECT_EQ(zvk::LengthField(0xFFF), 0x3FFF);
}

TEST(FrameCodec, ChecksumIsTwosComplementModulo65536) {
  EXPECT_EQ(zvk::FrameChecksum(""), 0x0000);  // never 0x10000
  EXPECT_EQ(zvk::FrameChecksum("20014041E002FF"), 0xFD11);
  // 0xFFFF + 1: a modulo-0xFFFF sum would give another answer.
  EXPECT_EQ(zvk::FrameChecksum(std::string(257, '\xFF')), static_cast<uint16_t>(65536 - (257 * 255) % 65536));
}

TEST(FrameCodec, AcceptsLowerCaseHexWithItsOwnChecksum) {
  // The checksum covers the characters as sent, so a lower-case frame has another one.
  std::string body = "20014041e002ff";
  const uint16_t checksum = zvk::FrameChecksum(body);
  char tail[5];
  std::snprintf(tail, sizeof tail, "%04x", checksum);
  Frame frame;
  ASSERT_EQ(zvk::DecodeFrameBody(body + tail, frame), DecodeStatus::kOk);
  EXPECT_EQ(frame.cid2, 0x41);
  EXPECT_EQ(frame.info, hex_bytes("FF"));
}

struct Corruption {
  const char* name;
  std::string body;  // between SOI and EOI
  DecodeStatus status;
};

TEST(FrameCodec, RejectsEachCorruptionWithItsOwnReason) {
  const std::vector<Corruption> corruptions = {
      {"bad CHKSUM", "20014041E002FFFD12", DecodeStatus::kBadChksum},
      {"bad LCHKSUM", "20014041F002FFFD10", DecodeStatus::kBadLchksum},
      {"odd LENID", "20014041F001FFFD11", DecodeStatus::kOddLenid},
      {"LENID longer than the frame", "20014041C004FFFD11", DecodeStatus::kLengthMismatch},
      {"non-hex INFO", "20014041E002FGFD11", DecodeStatus::kNotHex},
      {"non-hex header", "2X014041E002FFFD11", DecodeStatus::kNotHex},
      {"too short", "2001404100", DecodeStatus::kTooShort},
      {"empty", "", DecodeStatus::kTooShort},
  };
  for (const Corruption& corruption : corruptions) {
    // Decode from an exact-size copy so a read past the end shows under the sanitizer.
    const std::vector<char> exact(corruption.body.begin(), corruption.body.end());
    Frame frame;
    EXPECT_EQ(zvk::DecodeFrameBody(std::string_view(exact.data(), exact.size()), frame),
              corruption.status)
        << corruption.name;
  }
}

TEST(FrameDecoder, DecodesTheSameFramesWhateverTheChunking) {
  std::string stream = "\x05noise";
  for (const GoldenFrame& golden : kGolden) stream += std::string(golden.text) + "\r";
  for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    zvk::FrameDecoder decoder;
    std::vector<Frame> frames;
    std::vector<std::string> errors;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::vector<unsigned char> piece(stream.begin() + at,
                                             stream.begin() + std::min(stream.size(), at + chunk));
      for (auto& event : decoder.Feed(piece.data(), piece.size())) {
        if (event.ok)
          frames.push_back(event.frame);
        else
          errors.push_back(event.reason);
      }
    }
    ASSERT_EQ(frames.size(), std::size(kGolden)) << "chunk " << chunk;
    for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], FrameOf(kGolden[i]));
    EXPECT_EQ(errors, std::vector<std::string>{"noise before SOI"}) << "chunk " << chunk;
  }
}

TEST(FrameDecoder, DropsATruncatedFrameAndDecodesTheNextOne) {
  zvk::FrameDecoder decoder;
  auto events = FeedText(decoder, "~200140~20014041E002FFFD11\r");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].ok);
  EXPECT_EQ(events[0].reason, "truncated frame");
  EXPECT_EQ(events[0].dropped, "~200140");
  EXPECT_TRUE(events[1].ok);
}

TEST(FrameDecoder, DropsAFrameLongerThanTheLargestReply) {
  zvk::FrameDecoder decoder;
  const std::string endless = "~" + std::string(zvk::kMaxFrameLength + 10, '0');
  auto events = FeedText(decoder, endless);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].reason, "frame longer than the largest reply");
  EXPECT_FALSE(decoder.InFrame());
  // The decoder is usable again at the next SOI.
  events = FeedText(decoder, "~20014041E002FFFD11\r");
  ASSERT_EQ(events.size(), 2u);  // the zeros after the drop are noise
  EXPECT_TRUE(events[1].ok);
}

TEST(FrameDecoder, AcceptsTheLargestPossibleFrame) {
  Frame frame{0x20, 0x01, 0x40, 0x00, std::vector<unsigned char>(zvk::kMaxLenid / 2, 0xAB)};
  const std::string text = zvk::EncodeFrame(frame);
  EXPECT_EQ(text.size(), zvk::kMaxFrameLength);
  zvk::FrameDecoder decoder;
  auto events = FeedText(decoder, text);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_TRUE(events[0].ok);
  EXPECT_EQ(events[0].frame, frame);
}

TEST(FrameCodec, RefusesToEncodeMoreInfoThanAFrameCarries) {
  Frame frame{0x20, 0x01, 0x40, 0x00, std::vector<unsigned char>(zvk::kMaxLenid / 2 + 1, 0)};
  EXPECT_THROW(zvk::EncodeFrame(frame), std::length_error);
}

TEST(FrameCodec, HexRoundTripsAndRejectsBadText) {
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(zvk::FromHex("00aBfF", bytes));
  EXPECT_EQ(bytes, hex_bytes("00 AB FF"));
  EXPECT_EQ(zvk::ToHex(bytes), "00ABFF");
  EXPECT_FALSE(zvk::FromHex("ABC", bytes));
  EXPECT_FALSE(zvk::FromHex("G0", bytes));
}

}  // namespace
