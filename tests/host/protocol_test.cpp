#include "host/pmbus_protocol.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "tests/support/recording_host.h"

namespace {

// A codec whose payload handler records what it was handed.
class RecordingProtocol : public PMBusProtocol {
 public:
  bool process_payload() override {
    const unsigned lenid = reply_[4] | (reply_[5] << 8);
    payloads.push_back(Bytes(reply_, reply_ + 6 + lenid / 2));
    return true;
  }
  void Send(unsigned char cid1, unsigned char cid2) { write_pmbus_cmd(cid1, cid2, &kGroup, 1); }
  std::vector<Bytes> payloads;
  static constexpr unsigned char kGroup = 0xFF;
};

struct ProtocolTest : ::testing::Test {
  void SetUp() override {
    // Long enough that a slow machine never gives a query up between two lines of a test.
    Json::Value config;
    config["timeout_ms"] = 2000;
    ASSERT_TRUE(device->Init(host.controller, 9, config));
    device->AttachPort([this](const unsigned char* bytes, unsigned length) {
      sent.emplace_back(reinterpret_cast<const char*>(bytes), length);
      return true;
    });
  }
  void Receive(const std::string& text) {
    std::vector<unsigned char> bytes(text.begin(), text.end());
    device->process(bytes.data(), static_cast<unsigned>(bytes.size()));
  }

  RecordingHost host;
  std::shared_ptr<RecordingProtocol> device = std::make_shared<RecordingProtocol>();
  std::vector<std::string> sent;
};

TEST_F(ProtocolTest, SendsTheQueryFrameAndHandsTheDecodedReplyOver) {
  ASSERT_TRUE(device->RefreshStatus());
  device->Send(0x40, 0x41);
  EXPECT_EQ(sent, std::vector<std::string>{"~20014041E002FFFD11\r"});
  EXPECT_EQ(device->Busy(), 1);
  EXPECT_FALSE(device->RefreshStatus()) << "a reply is awaited";

  Receive("~25004609E00204FD2B\r");  // RTN 0x09: an error, not a payload
  EXPECT_TRUE(device->payloads.empty());
  EXPECT_EQ(device->Busy(), 0);
  ASSERT_EQ(host.events->log_texts().size(), 1u);
  EXPECT_EQ(host.events->log_texts()[0], "PMBusProtocol:ReplyError 9 sent 0x40/0x41, received RTN 0x09");

  device->Send(0x40, 0x41);
  Receive("~20024600B014026EF05AA0022BFDD5C0F915\r");
  ASSERT_EQ(device->payloads.size(), 1u);
  EXPECT_EQ(device->payloads[0], hex_bytes("20 02 46 00 14 00 02 6E F0 5A A0 02 2B FD D5 C0"));
  EXPECT_EQ(device->Busy(), 0);

  const auto queries = host.events->queries();
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].frame, "~20014041E002FFFD11");
  EXPECT_EQ(queries[0].info, hex_bytes("FF"));
  EXPECT_EQ(host.events->replies().size(), 2u);
}

TEST_F(ProtocolTest, GivesAnUnansweredQueryUpAfterTheTimeout) {
  Json::Value config;
  config["timeout_ms"] = 20;
  ASSERT_TRUE(device->InitSetting(config));
  device->Send(0x40, 0x41);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(device->RefreshStatus()) << "the caller may now repeat the query";
  EXPECT_EQ(device->Busy(), 0);
  ASSERT_EQ(host.events->frame_errors().size(), 1u);
  EXPECT_EQ(host.events->frame_errors()[0].reason, "no reply within 20 ms");
  device->Send(0x40, 0x41);
  EXPECT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], sent[1]);
}

TEST_F(ProtocolTest, DropsCorruptRepliesAndKeepsWaiting) {
  device->Send(0x40, 0x41);
  Receive("~20024600B014026EF05AA0022BFDD5C0F916\r");  // CHKSUM off by one
  Receive("~20024600C014026EF05AA0022BFDD5C0F915\r");  // LCHKSUM wrong
  EXPECT_TRUE(device->payloads.empty());
  EXPECT_EQ(device->Busy(), 1);
  const auto errors = host.events->frame_errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].reason, "bad CHKSUM");
  EXPECT_EQ(errors[1].reason, "bad LCHKSUM");
  // Split over many reads, the good reply still arrives.
  const std::string good = "~20024600B014026EF05AA0022BFDD5C0F915\r";
  for (char c : good) Receive(std::string(1, c));
  EXPECT_EQ(device->payloads.size(), 1u);
}

TEST_F(ProtocolTest, IgnoresRepliesNobodyAskedFor) {
  Receive("~250046000000FDAF\r");
  EXPECT_TRUE(device->payloads.empty());
  ASSERT_EQ(host.events->frame_errors().size(), 1u);
  EXPECT_EQ(host.events->frame_errors()[0].reason, "reply while no query is in flight");
}

TEST(ProtocolSettings, ReadsAddressAndTimeoutAndRejectsBadValues) {
  auto device = std::make_shared<RecordingProtocol>();
  Json::Value config;
  EXPECT_TRUE(device->InitSetting(config));
  EXPECT_EQ(device->Address(), 1);
  EXPECT_EQ(device->ReplyTimeout().count(), 1500);
  config["address"] = 254;
  config["timeout_ms"] = 300;
  EXPECT_TRUE(device->InitSetting(config));
  EXPECT_EQ(device->Address(), 254);
  EXPECT_EQ(device->ReplyTimeout().count(), 300);
  for (const char* bad : {R"({"address": 255})", R"({"address": -1})", R"({"address": "1"})",
                          R"({"timeout_ms": 0})", R"({"timeout_ms": 1.5})", R"([1])"}) {
    Json::Value value;
    Json::Reader().parse(bad, value);
    EXPECT_FALSE(device->InitSetting(value)) << bad;
  }
}

TEST(ProtocolSettings, AnUninitialisedOrUnconnectedDeviceIsNeverPolled) {
  RecordingHost host;
  auto device = std::make_shared<RecordingProtocol>();
  device->AttachPort([](const unsigned char*, unsigned) { return true; });
  EXPECT_FALSE(device->RefreshStatus()) << "not initialised";
  auto unconnected = std::make_shared<RecordingProtocol>();
  ASSERT_TRUE(unconnected->Init(host.controller, 1, Json::Value()));
  EXPECT_FALSE(unconnected->RefreshStatus()) << "no port";
}

}  // namespace
