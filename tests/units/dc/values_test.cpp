// Construction, settings, value look-ups and cache images of the DC unit.

#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/support/test_clock.h"
#include "tests/units/dc/dc_unit_fixture.h"

namespace {

using boost::posix_time::seconds;



// The text of the std::out_of_range that a look-up throws, or "" when it answers.
std::string lookup_error(const K426BDC& unit, const std::string& key) {
  try {
    unit.Get_Value(0, key);
  } catch (const std::out_of_range& error) {
    return error.what();
  }
  return "";
}

Json::Value json(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream stream(text);
  EXPECT_TRUE(Json::parseFromStream(builder, stream, &value, &errors)) << errors;
  return value;
}

// A cache image with data id 0x01020304, v 48.0 and i 12.5.
Bytes cache_image() {
  Bytes image(sizeof(tele_c_k426b_dc), 0);
  tele_c_k426b_dc dc{};
  store_u32(dc.data_id, 0x01020304);
  store_float(dc.v, 48.0f);
  store_float(dc.i, 12.5f);
  std::memcpy(image.data(), &dc, sizeof dc);
  return image;
}

}  // namespace

TEST(DcUnitConstruction, BothConstructorsGiveTheSameUnitWhateverTheText) {
  const K426BDC from_factory;
  const K426BDC with_text("K515F");
  for (const K426BDC* unit : {&from_factory, &with_text}) {
    EXPECT_EQ(unit->DeviceType(), "k426b-dc");
    EXPECT_FLOAT_EQ(unit->DiffV(), 0.1f);
    EXPECT_FLOAT_EQ(unit->DiffI(), 20.0f);
    EXPECT_FALSE(unit->HasData());
  }
}

TEST(DcUnitSettings, ThresholdsAreReadAsNumbersOrNumericTextAndBadValuesLeaveDefaults) {
  struct Row {
    const char* config;
    float diff_v;
    float diff_i;
  };
  const Row rows[] = {
      {R"({"appSetting": {"diff_v": 0.5}})", 0.5f, 20.0f},
      {R"({"appSetting": {"diff_v": "0.5", "diff_i": "35"}})", 0.5f, 35.0f},
      {R"({"appSetting": {"diff_v": "abc"}})", 0.0f, 20.0f},
      {R"({"appSetting": {"diff_i": 7}})", 0.1f, 7.0f},
      {R"({"appSetting": {"diff_v": null}})", 0.1f, 20.0f},
      {R"({"appSetting": {"diff_v": [1], "diff_i": {"x": 1}}})", 0.1f, 20.0f},
      {R"({"appSetting": [0.5, 35]})", 0.1f, 20.0f},
      {R"({"appSetting": "diff_v"})", 0.1f, 20.0f},
      {R"({})", 0.1f, 20.0f},
      {R"([1, 2])", 0.1f, 20.0f},
      {R"(5)", 0.1f, 20.0f},
  };
  for (const Row& row : rows) {
    RecordingHost host;
    auto parent = std::make_shared<ZVKSPDevice>();
    parent->Init(host.controller, 1, Json::Value());
    auto unit = std::make_shared<K426BDC>();
    EXPECT_TRUE(unit->InitV(parent.get(), 9, json(row.config))) << row.config;
    EXPECT_FLOAT_EQ(unit->DiffV(), row.diff_v) << row.config;
    EXPECT_FLOAT_EQ(unit->DiffI(), row.diff_i) << row.config;
  }
}

TEST_F(DcUnitTest, InitVWritesTheDataIdIntoTheRecordLeastSignificantByteFirst) {
  EXPECT_EQ(field_bytes(record().data_id, 4), hex_bytes("0D 0C 0B 0A"));
  EXPECT_EQ(unit->DataId(), kDcDataId);
  EXPECT_EQ(unit->Parent(), parent.get());
}

TEST_F(DcUnitTest, LookUpsBeforeAnyDataAreNotReadyWhateverTheKey) {
  for (const char* key : {"v", "i", "x", ""}) EXPECT_EQ(lookup_error(*unit, key), "数据未就绪") << key;
}

TEST_F(DcUnitTest, OnlyTheExactKeysVAndIAreServed) {
  parse_analog(hex_bytes("00 00 50 42  00 00 A0 41  00 00 00"));
  unit->RoundDone();
  EXPECT_FLOAT_EQ(unit->Get_Value(0, "v"), 52.0f);
  EXPECT_FLOAT_EQ(unit->Get_Value(12345, "i"), 20.0f);
  for (const char* key : {"V", "I", " v", "v ", "", "vi", "user_p"})
    EXPECT_EQ(lookup_error(*unit, key), "数据未就绪") << '"' << key << '"';
}

TEST_F(DcUnitTest, ValuesAreFreshForSixtySecondsAndStaleFromTheSixtyFirst) {
  TestClock clock;
  const auto now = [&clock] { return clock.now(); };
  unit->RoundDone();
  unit->SetLastRoundTime(now() - seconds(60));
  EXPECT_EQ(lookup_error(*unit, "v"), "");
  unit->SetLastRoundTime(now() - seconds(61));
  EXPECT_EQ(lookup_error(*unit, "v"), "数据已超时");
  EXPECT_EQ(lookup_error(*unit, "nonsense"), "数据已超时");
  unit->SetLastRoundTime(now() + seconds(3600));
  EXPECT_EQ(lookup_error(*unit, "i"), "");
}

TEST_F(DcUnitTest, AnAcceptedCacheImageReplacesTheWholeRecordAndServesValuesUntilItAges) {
  const Bytes image = cache_image();
  ASSERT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
  EXPECT_TRUE(unit->HasData());
  EXPECT_FLOAT_EQ(unit->Get_Value(0, "v"), 48.0f);
  EXPECT_FLOAT_EQ(unit->Get_Value(0, "i"), 12.5f);
  EXPECT_EQ(load_u32(record().data_id), 0x01020304u);

  unit->SetLastRoundTime(local_time() - seconds(61));
  EXPECT_EQ(lookup_error(*unit, "v"), "数据已超时");
}

TEST_F(DcUnitTest, TheTextFormOfACacheImageIsTakenLikeTheByteForm) {
  const Bytes image = cache_image();
  EXPECT_TRUE(unit->LoadFromCache(std::string(image.begin(), image.end())));
  EXPECT_FLOAT_EQ(unit->Get_Value(0, "v"), 48.0f);
}

TEST_F(DcUnitTest, CacheImagesOfAnyOtherLengthAreRefusedAndChangeNothing) {
  Bytes image = cache_image();
  for (int length : {201, 203, 0}) {
    const Bytes sized(static_cast<std::size_t>(length), 0x5A);
    EXPECT_FALSE(unit->LoadFromCache(sized.data(), length)) << length;
  }
  EXPECT_FALSE(unit->LoadFromCache(nullptr, 202));
  EXPECT_FALSE(unit->HasData());

  parse_analog(hex_bytes("00 00 50 42  00 00 A0 41  00 00 00"));
  unit->RoundDone();
  const tele_c_k426b_dc before = record();
  image.push_back(0);
  EXPECT_FALSE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
  EXPECT_TRUE(unit->HasData());
  const tele_c_k426b_dc after = record();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

// Run under ThreadSanitizer this shows the record guarded; anywhere it shows look-ups never see
// a voltage that no reply carried.
TEST_F(DcUnitTest, LookUpsDuringParsesSeeOnlyWholeValues) {
  const Bytes low = hex_bytes("00 00 40 42  00 00 00 00  00 00 00");   // 48.0
  const Bytes high = hex_bytes("00 00 60 42  00 00 00 00  00 00 00");  // 56.0
  parse_analog(low);
  unit->RoundDone();

  testing::internal::CaptureStdout();
  std::thread reader([this] {
    for (int round = 0; round < 2000; ++round) {
      const float v = unit->Get_Value(0, "v");
      ASSERT_TRUE(v == 48.0f || v == 56.0f) << v;
    }
  });
  for (int round = 0; round < 2000; ++round) parse_analog(round % 2 ? low : high);
  reader.join();
  testing::internal::GetCapturedStdout();
}
