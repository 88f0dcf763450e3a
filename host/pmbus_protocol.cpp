#include "host/pmbus_protocol.h"

#include <string>

namespace {

// A JSON setting that is absent keeps its default; one present must be a whole number in range.
bool ReadSetting(const Json::Value& config, const char* key, long min, long max, long& value) {
  const Json::Value& setting = config[key];
  if (setting.isNull()) return true;
  // A whole number beyond the signed 64-bit range is out of every range here; asLargestInt
  // would throw on it.
  if (!setting.isIntegral() || !setting.isInt64()) return false;
  const long long number = setting.asLargestInt();
  if (number < min || number > max) return false;
  value = static_cast<long>(number);
  return true;
}

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& config) {
  if (!config.isObject() && !config.isNull()) return false;
  long address = address_;
  long timeout_ms = static_cast<long>(reply_timeout_.count());
  if (!ReadSetting(config, "address", 0, 254, address)) return false;
  if (!ReadSetting(config, "timeout_ms", 1, 600000, timeout_ms)) return false;
  address_ = static_cast<unsigned char>(address);
  reply_timeout_ = std::chrono::milliseconds(timeout_ms);
  return true;
}

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
  write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                    const unsigned char* info, int length) {
  zvk::Frame frame;
  frame.ver = version_;
  frame.adr = address_;
  frame.cid1 = cid1;
  frame.cid2 = cid2;
  if (info != nullptr && length > 0) frame.info.assign(info, info + length);
  const std::string text = zvk::EncodeFrame(frame);
  sent_cid1_ = cid1;
  sent_cid2_ = cid2;
  // A new query: anything half-received belongs to the exchange given up.
  decoder_.Clear();
  if (auto controller = controller_.lock())
    controller->events().OnQuery(data_id_, cid1, cid2, frame.info, text.substr(0, text.size() - 1));
  MarkRequestSent();
  SendData(reinterpret_cast<const unsigned char*>(text.data()), static_cast<unsigned>(text.size()));
}

void PMBusProtocol::process(unsigned char* bytes, unsigned length) {
  if (bytes == nullptr || length == 0) return;
  for (zvk::FrameDecoder::Event& event : decoder_.Feed(bytes, length)) {
    if (!event.ok) {
      if (auto controller = controller_.lock())
        controller->events().OnFrameError(data_id_, event.reason, BytesOf(event.dropped));
      continue;
    }
    HandleFrame(event.frame);
  }
}

void PMBusProtocol::HandleFrame(const zvk::Frame& frame) {
  auto controller = controller_.lock();
  if (controller) controller->events().OnReply(data_id_, frame.cid1, frame.cid2, frame.info);
  if (busy_ == 0) {
    // Nothing asked for it: a late answer to a query already given up, or line echo.
    if (controller)
      controller->events().OnFrameError(data_id_, "reply while no query is in flight",
                                        BytesOf(zvk::EncodeFrame(frame)));
    return;
  }
  busy_ = 0;
  reply_buffer_.assign(kReplyInfo + frame.info.size(), 0);
  reply_buffer_[kReplyVer] = frame.ver;
  reply_buffer_[kReplyAdr] = frame.adr;
  reply_buffer_[kReplyCid1] = frame.cid1;
  reply_buffer_[kReplyRtn] = frame.cid2;
  const unsigned lenid = static_cast<unsigned>(frame.info.size() * 2);
  reply_buffer_[kReplyLength] = static_cast<unsigned char>(lenid & 0xFF);
  reply_buffer_[kReplyLength + 1] = static_cast<unsigned char>(lenid >> 8);
  std::copy(frame.info.begin(), frame.info.end(), reply_buffer_.begin() + kReplyInfo);
  reply_ = reply_buffer_.data();
  if (frame.cid2 == zvk::kRtnNormal)
    process_payload();
  else
    process_error();
  reply_ = nullptr;
}

bool PMBusProtocol::process_payload() { return true; }

void PMBusProtocol::process_error() {
  if (reply_ == nullptr) return;
  InfoLog("PMBusProtocol:ReplyError {} sent 0x{:02X}/0x{:02X}, received RTN 0x{:02X}", data_id_,
          sent_cid1_, sent_cid2_, reply_[kReplyRtn]);
}
