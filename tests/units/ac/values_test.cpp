#include <atomic>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "tests/support/test_clock.h"
#include "tests/units/ac/ac_unit_fixture.h"
#include "units/ac/channel_key.h"

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;

// A cache image: head with the given screen count, then `records` channel records. Channel k's
// voltage AB/A is 200 + k, its frequency 50 + k; ia is 1.5, ia's alarm state `ia_alert`.
Bytes cache_image(unsigned count_byte, unsigned records, unsigned char ia_alert = 0) {
  Bytes image(39 + 29 * records, 0x00);
  store_u32(&image[0], AcUnitTest::kDataId);
  store_float(&image[4], 1.5f);
  image[16] = static_cast<unsigned char>(count_byte);
  image[29] = ia_alert;
  for (unsigned k = 0; k < records; ++k) {
    store_float(&image[39 + 29 * k + 0], 200.0f + static_cast<float>(k));
    store_float(&image[39 + 29 * k + 4], 210.0f + static_cast<float>(k));
    store_float(&image[39 + 29 * k + 8], 220.0f + static_cast<float>(k));
    store_float(&image[39 + 29 * k + 12], 50.0f + static_cast<float>(k));
  }
  return image;
}

bool load(K426BAC& unit, const Bytes& image) {
  const std::vector<unsigned char> exact(image);
  return unit.LoadFromCache(exact.data(), static_cast<int>(exact.size()));
}

}  // namespace

using AcValuesTest = AcUnitTest;

TEST_F(AcValuesTest, UnitWithoutDataAnswersEveryKeyNotReady) {
  auto unit = make_unit();
  for (const char* key : {"ia", "ia_alert", "channel_0_a", "nonsense", ""})
    EXPECT_EQ(value_error(*unit, key), "数据未就绪") << key;
}

TEST_F(AcValuesTest, KeysSelectHeadAndChannelValuesOrSayWhyNot) {
  auto unit = make_unit();
  ASSERT_TRUE(load(*unit, cache_image(2, 2, 2)));

  struct Row {
    std::string key;
    float value;
    const char* error;
  };
  const std::vector<Row> rows = {
      {"ia", 1.5f, nullptr},
      {"ia_alert", 2.0f, nullptr},
      {"ib_alert", 0.0f, nullptr},
      {"channel_0_a", 200.0f, nullptr},
      {"channel_0_b", 210.0f, nullptr},
      {"channel_1_c", 221.0f, nullptr},
      {"channel_1_frequency", 51.0f, nullptr},
      {"x_channel_0_c_y", 220.0f, nullptr},
      {"channel_01_a", 201.0f, nullptr},
      {"channel_00000000000000000000001_a", 201.0f, nullptr},
      {"channel_\nchannel_1_a", 201.0f, nullptr},
      {"channel_0_\nchannel_1_a", 201.0f, nullptr},
      {"channel_channel_1_f", 51.0f, nullptr},
      {"channel_2_a", 0, "通道参数越界"},
      {"channel_12_3_a", 0, "通道参数越界"},
      {"channel_2147483647_a", 0, "通道参数越界"},
      {"channel_2147483648_a", 0, "通道参数越界"},
      {"channel_99999999999999999999_v", 0, "通道参数越界"},
      {"channel_0_v", 0, "数据未提供"},
      {"channel_0_A", 0, "数据未提供"},
      {"channel_1_3_a", 0, "数据未提供"},
      {"channel_0_", 0, "数据未提供"},
      {"channel_0_\n", 0, "数据未提供"},
      {"channel__0_a", 0, "数据未提供"},
      {"Channel_0_a", 0, "数据未提供"},
      {"ia_alarm", 0, "数据未提供"},
      {"IA", 0, "数据未提供"},
      {" ia", 0, "数据未提供"},
      {"", 0, "数据未提供"},
  };
  for (const Row& row : rows) {
    if (row.error == nullptr)
      EXPECT_EQ(unit->Get_Value(kDataId, row.key), row.value) << row.key;
    else
      EXPECT_EQ(value_error(*unit, row.key), row.error) << row.key;
  }
}

TEST_F(AcValuesTest, AlarmStateIsAnsweredAsItsUnsignedByteValue) {
  auto unit = make_unit();
  ASSERT_TRUE(load(*unit, cache_image(1, 1, 200)));
  EXPECT_EQ(unit->Get_Value(kDataId, "ia_alert"), 200.0f);
}

// The channel matcher decides what a search for channel_(\d+)_(.+?) decides, on keys built
// from the pieces that matter to it: prefixes, digits, underscores, line breaks, NUL and
// multi-byte text. Half the keys are shaped like channel keys with one piece likely mutated.
TEST_F(AcValuesTest, ChannelMatcherAgreesWithTheRegularExpressionSearch) {
  const std::regex pattern("channel_(\\d+)_(.+?)");
  const std::vector<std::string> pieces = {
      "channel_", "channel", "chan", "_", "0", "1", "9", "12", "007", "a", "f", "x",
      "\n", "\r", std::string(1, '\0'), "\xE4\xBA\xA4", " ", "Channel_", "_channel_", "-1"};
  const std::vector<std::string> prefixes = {"channel_", "channel_", "channel_", "channel",
                                             "Channel_", "channel_channel_", "xchannel_"};
  const std::vector<std::string> numbers = {"0", "1", "12", "007", "2147483648", "", "x", "1x"};
  const std::vector<std::string> separators = {"_", "_", "_", "", "__", "-", "\n"};
  std::mt19937 random(426);
  auto pick = [&random](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
  };
  auto junk = [&](int most) {
    std::string text;
    for (int n = std::uniform_int_distribution<int>(0, most)(random); n > 0; --n)
      text += pick(pieces);
    return text;
  };

  int matches = 0;
  for (int i = 0; i < 6000; ++i) {
    const std::string key =
        i % 2 ? junk(7) : junk(2) + pick(prefixes) + pick(numbers) + pick(separators) + junk(2);
    std::smatch found;
    const bool regex_found = std::regex_search(key, found, pattern);
    const std::optional<ChannelKey> matched = find_channel_key(key);
    ASSERT_EQ(matched.has_value(), regex_found) << '"' << key << '"';
    if (!regex_found) continue;
    ++matches;
    EXPECT_EQ(std::string(matched->digits), found[1].str()) << '"' << key << '"';
    EXPECT_EQ(std::string(1, matched->value_name), found[2].str()) << '"' << key << '"';
  }
  EXPECT_GT(matches, 400);  // the generator really exercises both sides
}

TEST_F(AcValuesTest, DataStaysFreshFor60SecondsAndIsStaleAt61) {
  auto unit = make_unit();
  ASSERT_TRUE(load(*unit, cache_image(1, 1)));

  TestClock clock;
  auto error_at_age = [&](long age) {
    unit->SetLastRoundTime(clock.now() - seconds(age));
    return value_error(*unit, "ia");
  };
  EXPECT_EQ(error_at_age(60), "no error");
  EXPECT_EQ(error_at_age(61), "数据已超时");
  EXPECT_EQ(error_at_age(3600), "数据已超时");
  EXPECT_EQ(error_at_age(-3600), "no error");
}

TEST_F(AcValuesTest, CompletedCycleMakesValuesAvailable) {
  auto unit = make_unit();
  publish(*unit);
  EXPECT_EQ(unit->Get_Value(kDataId, "ia"), 0.0f);
  EXPECT_EQ(value_error(*unit, "channel_0_a"), "通道参数越界");
}

TEST_F(AcValuesTest, CacheImageIsTakenOnlyWhenItsLengthFitsItsScreenCount) {
  struct Row {
    unsigned count_byte;
    unsigned records;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {0, 0, false},  // 39 bytes: nothing but a head
      {1, 1, true},   {2, 2, true},  {255, 255, true},
      {3, 2, false},  {1, 2, false}, {0, 1, false},
  };
  for (const Row& row : rows) {
    auto unit = make_unit();
    EXPECT_EQ(load(*unit, cache_image(row.count_byte, row.records)), row.accepted)
        << row.count_byte << " screens, " << row.records << " records";
    if (row.accepted) {
      EXPECT_EQ(unit->Get_Value(kDataId, "ia"), 1.5f);
      EXPECT_EQ(unit->Get_Value(kDataId, "channel_" + std::to_string(row.records - 1) + "_a"),
                200.0f + static_cast<float>(row.records - 1));
    } else {
      EXPECT_EQ(value_error(*unit, "ia"), "数据未就绪");
    }
  }
}

TEST_F(AcValuesTest, EveryScreenCountFrom1To255LoadsFromAnImageOfItsOwnLength) {
  for (unsigned count = 1; count <= 255; ++count) {
    auto unit = make_unit();
    ASSERT_TRUE(load(*unit, cache_image(count, count))) << count;
  }
}

TEST_F(AcValuesTest, ShortOrMissingCacheImageChangesNothing) {
  auto unit = make_unit();
  const Bytes image = cache_image(1, 1);
  EXPECT_FALSE(unit->LoadFromCache(nullptr, 68));
  for (int length : {-1, 0, 1, 38, 39}) {
    std::vector<unsigned char> exact(image.begin(), image.begin() + std::max(length, 0));
    EXPECT_FALSE(unit->LoadFromCache(exact.data(), length)) << length;
  }
  const Bytes snapshot = publish(*unit);
  EXPECT_EQ(snapshot.size(), 39u);
  EXPECT_EQ(load_u32(&snapshot[4]), 0u);
}

TEST_F(AcValuesTest, RefusedImageOf97BytesStillLeavesItsHeadAndThreeScreens) {
  auto unit = make_unit();
  Bytes image = cache_image(3, 2);
  ASSERT_EQ(image.size(), 97u);
  EXPECT_FALSE(load(*unit, image));
  EXPECT_EQ(value_error(*unit, "ia"), "数据未就绪");

  // The screen count is learnt: two screens are now refused, three accepted.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_two_screens()), -1);
  Bytes three_screens = analog_block_two_screens();
  three_screens[0] = 0x03;
  three_screens.insert(three_screens.begin() + 1, 17, 0x00);
  EXPECT_EQ(parse(*unit, &K426BAC::parse40_41, three_screens), 64);
  ::testing::internal::GetCapturedStdout();

  const Bytes snapshot = publish(*unit);
  ASSERT_EQ(snapshot.size(), 39u + 3 * 29);
  EXPECT_EQ(snapshot[16], 3);
}

TEST_F(AcValuesTest, StringFormOfTheCacheLoadTakesTheSameImage) {
  auto unit = make_unit();
  const Bytes image = cache_image(2, 2);
  EXPECT_TRUE(unit->LoadFromCache(std::string(image.begin(), image.end())));
  EXPECT_EQ(unit->Get_Value(kDataId, "channel_1_a"), 201.0f);
}

TEST_F(AcValuesTest, SnapshotFollowsTheScreenCountOfALaterCacheImage) {
  auto unit = make_unit();
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, analog_block_one_screen()), 30);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(publish(*unit).size(), 68u);

  ASSERT_TRUE(load(*unit, cache_image(3, 3)));
  const Bytes snapshot = publish(*unit);
  ASSERT_EQ(snapshot.size(), 39u + 3 * 29);
  EXPECT_EQ(load_float(&snapshot[39 + 2 * 29]), 202.0f);

  auto reloaded = make_unit();
  EXPECT_TRUE(load(*reloaded, snapshot));
}

TEST_F(AcValuesTest, InitVStoresTheDataIdAndTheChangeThresholds) {
  struct Row {
    const char* config;
    float diff_v;
    float diff_i;
  };
  const std::vector<Row> rows = {
      {"{}", 20.0f, 20.0f},
      {R"({"appSetting": "diff_v"})", 20.0f, 20.0f},
      {R"({"appSetting": [1, 2]})", 20.0f, 20.0f},
      {R"({"appSetting": {}})", 20.0f, 20.0f},
      {R"({"appSetting": {"diff_v": 5.5, "diff_i": "12.25"}})", 5.5f, 12.25f},
      {R"({"appSetting": {"diff_v": "7 volts"}})", 7.0f, 20.0f},
      {R"({"appSetting": {"diff_v": "abc", "diff_i": null}})", 0.0f, 20.0f},
      {R"({"appSetting": {"diff_i": 3}})", 20.0f, 3.0f},
      {R"({"appSetting": {"diff_v": [1], "diff_i": {"x": 1}}})", 20.0f, 20.0f},
      {R"([1, 2, 3])", 20.0f, 20.0f},
      {R"("text")", 20.0f, 20.0f},
  };
  for (const Row& row : rows) {
    Json::Value config;
    std::istringstream text(row.config);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &config, nullptr));
    auto unit = std::make_shared<K426BAC>();
    EXPECT_TRUE(unit->InitV(parent_.get(), kDataId, config)) << row.config;
    EXPECT_EQ(unit->VoltageChangeThreshold(), row.diff_v) << row.config;
    EXPECT_EQ(unit->CurrentChangeThreshold(), row.diff_i) << row.config;
    EXPECT_EQ(unit->DataId(), kDataId);
    EXPECT_EQ(unit->DeviceType(), "k426b-ac");
  }
  auto unit = make_unit();
  EXPECT_EQ(load_u32(publish(*unit).data()), kDataId);
}

// A reader on another thread sees each value whole while cycles and cache loads rewrite it
// (220 and 230 from the analog blocks, 200 from the image). Run under the
// thread sanitizer, this also shows that every record access is guarded.
TEST_F(AcValuesTest, ConcurrentLookUpsSeeOnlyWholeValues) {
  auto unit = make_unit();
  Bytes low = analog_block_one_screen();
  Bytes high = low;
  store_float(&high[1], 230.0f);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(parse(*unit, &K426BAC::parse40_41, low), 30);
  unit->RoundDone();

  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const float value = unit->Get_Value(kDataId, "channel_0_a");
      if (value != 220.0f && value != 230.0f && value != 200.0f) ++torn;
    }
  });
  for (int cycle = 0; cycle < 200; ++cycle) {
    parse(*unit, &K426BAC::parse40_41, cycle % 2 ? low : high);
    unit->RoundDone();
    if (cycle % 50 == 0) load(*unit, cache_image(1, 1));
    if (cycle % 50 == 0) parse(*unit, &K426BAC::parse40_41, low);
  }
  done = true;
  reader.join();
  ::testing::internal::GetCapturedStdout();
  host_.drain();
  EXPECT_EQ(torn, 0);
}
