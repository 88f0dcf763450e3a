#pragma once

#include <cstddef>
#include <vector>

#include <json/value.h>

#include "host/device.h"
#include "host/export.h"
#include "host/frame_codec.h"

// The host's frame codec for the power system: writes queries, decodes replies from the serial
// byte stream and hands each complete, valid, RTN 0 reply to process_payload.
//
// Decoded reply buffer while process_payload runs:
//   0 VER | 1 ADR | 2 CID1 | 3 RTN | 4-5 LENID (LSB first, LCHKSUM removed) | 6.. INFO bytes
class ZVK_API PMBusProtocol : public ZVKSPDevice {
 public:
  // Where the fields of the decoded reply buffer stand.
  static constexpr std::size_t kReplyVer = 0;
  static constexpr std::size_t kReplyAdr = 1;
  static constexpr std::size_t kReplyCid1 = 2;
  static constexpr std::size_t kReplyRtn = 3;
  static constexpr std::size_t kReplyLength = 4;  // two bytes: INFO characters, LSB first
  static constexpr std::size_t kReplyInfo = 6;

  // Protocol version bytes: 0x21 equipment takes the command group byte in DC queries too.
  static constexpr unsigned char kProtocolVersion20 = 0x20;
  static constexpr unsigned char kProtocolVersion21 = 0x21;

  PMBusProtocol();
  ~PMBusProtocol() override;

  // Reads "address" (0-254, default 1) and "timeout_ms" (1-600000, default 1500); a value out
  // of range or not a number gives false.
  bool InitSetting(const Json::Value& config) override;
  void process(unsigned char* bytes, unsigned length) override;

  virtual bool process_payload();
  // A reply with RTN other than 0: logged; the query is repeated by the next RefreshStatus.
  virtual void process_error();

  void write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
  void write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info,
                       int length);

  int PollState() const { return poll_state_; }
  unsigned char ProtocolVersion() const { return version_; }
  unsigned char Address() const { return address_; }

 protected:
  unsigned char* reply_ = nullptr;  // the decoded reply while process_payload runs
  int poll_state_ = 0;
  unsigned char version_ = kProtocolVersion20;
  unsigned char address_ = 1;

 private:
  void HandleFrame(const zvk::Frame& frame);

  zvk::FrameDecoder decoder_;
  std::vector<unsigned char> reply_buffer_;
  unsigned char sent_cid1_ = 0;
  unsigned char sent_cid2_ = 0;
};
