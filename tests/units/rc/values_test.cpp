#include <future>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "tests/support/test_clock.h"
#include "tests/units/rc/rc_unit_fixture.h"

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;

// A cache image: a head carrying `modules` in its count byte, followed by `module_bytes`.
Bytes cache_image(unsigned char modules, std::size_t module_bytes, unsigned char fill = 0x5A) {
  Bytes image(kHead + module_bytes, fill);
  image[kModuleCount] = modules;
  return image;
}

using RcValues = RcUnitTest;

TEST_F(RcValues, ImageWithoutModulesIsTakenAndTheNextAnalogReplySetsTheCount) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), 105);
  const Bytes image = cache_image(0, 0);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "rc data_len:149 vs 149\nrc channelLen 51 and 0 left:0\n");
  EXPECT_TRUE(unit->HasData());
  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  EXPECT_EQ(cycle().size(), kHead + 2 * kModule);
}

TEST_F(RcValues, ImageWhoseModulePartIsMissingIsRefusedYetItsHeadAndCountAreTaken) {
  const Bytes image = cache_image(2, 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "rc data_len:149 vs 149\nrc channelLen 51 and 2 left:0\n");
  EXPECT_FALSE(unit->HasData());
  EXPECT_EQ(value_error(), "数据未就绪");

  EXPECT_EQ(parse(&K426BRC::parse41_41, analog_reply(3)), -1) << "count 2 is now learnt";
  const Bytes snapshot = cycle();
  ASSERT_EQ(snapshot.size(), kHead + 2 * kModule);
  EXPECT_EQ(slice(snapshot, 0, kGroupValue), slice(image, 0, kGroupValue));
  EXPECT_EQ(slice(snapshot, kHead, 2 * kModule), Bytes(2 * kModule, 0));
}

TEST_F(RcValues, ImageWithOneModuleIsTakenWhole) {
  Bytes image = cache_image(1, kModule);
  for (std::size_t i = kHead; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(unit->LoadFromCache(std::string(image.begin(), image.end())));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "rc data_len:200 vs 149\nrc channelLen 51 and 1 left:51\n");
  const Bytes snapshot = cycle();
  EXPECT_EQ(slice(snapshot, 0, kTimeStamp), slice(image, 0, kTimeStamp));
  EXPECT_EQ(slice(snapshot, kHead, kModule), slice(image, kHead, kModule));
}

TEST_F(RcValues, ShortImageIsRefusedWithOneLineAndChangesNothing) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
  const Bytes before = cycle();
  const Bytes image = cache_image(0, 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(unit->LoadFromCache(image.data(), 148));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rc data_len:148 vs 149\n");
  EXPECT_EQ(slice(cycle(), 0, kTimeStamp), slice(before, 0, kTimeStamp));
}

TEST_F(RcValues, SnapshotFollowsACountThatACacheImageChangedAndLoadsBack) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
  ASSERT_EQ(cycle().size(), kHead + kModule);
  Bytes image = cache_image(3, 3 * kModule);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
  testing::internal::GetCapturedStdout();

  const Bytes snapshot = cycle();
  ASSERT_EQ(snapshot.size(), kHead + 3 * kModule);
  EXPECT_EQ(slice(snapshot, kHead, 3 * kModule), slice(image, kHead, 3 * kModule));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(unit->LoadFromCache(snapshot.data(), static_cast<int>(snapshot.size())));
  testing::internal::GetCapturedStdout();
}

TEST_F(RcValues, LookUpsNeverAnswerAndTellMissingFromStaleData) {
  EXPECT_EQ(value_error(), "数据未就绪") << "never completed a cycle";
  const Bytes image = cache_image(0, 0);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(unit->LoadFromCache(image.data(), static_cast<int>(image.size())));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(value_error(), "数据未就绪");

  TestClock clock;
  unit->SetLastRoundTime(clock.now() - seconds(60));
  EXPECT_EQ(value_error(), "数据未就绪");
  unit->SetLastRoundTime(clock.now() - seconds(61));
  EXPECT_EQ(value_error(), "数据已超时");
  unit->SetLastRoundTime(clock.now() + seconds(3600));
  EXPECT_EQ(value_error(), "数据未就绪") << "a time in the future counts as fresh";
}

TEST_F(RcValues, CycleMarksDataPublishesTheSnapshotAndSavesThatSameSnapshot) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  const auto before = second_clock::local_time();
  const Bytes snapshot = cycle();
  EXPECT_TRUE(unit->HasData());
  EXPECT_GE(unit->LastRoundTime(), before);
  const ttime stamp = get_ttime(unit->LastRoundTime());
  EXPECT_EQ(slice(snapshot, kTimeStamp, 2), Bytes(stamp.begin(), stamp.begin() + 2)) << "year";

  const auto published = host.events->snapshots();
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].record_type, 5095);
  EXPECT_EQ(published[0].data_id, kRcDataId);
  host.drain();
  const auto history = host.events->history();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].bytes, snapshot);
}

TEST_F(RcValues, HistoryOfACycleKeepsItsSnapshotAfterTheNextCycleChangedTheRecord) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(1)), 39);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  host.controller->Submit([released] { released.wait(); });  // holds the worker back

  const Bytes first = cycle();
  Bytes changed = analog_reply(1);
  changed[6] = 0x99;
  ASSERT_EQ(parse(&K426BRC::parse41_41, changed), 39);
  const Bytes second = cycle();
  release.set_value();
  host.drain();

  const auto history = host.events->history();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].bytes, first);
  EXPECT_EQ(history[1].bytes, second);
  EXPECT_NE(first[module_at(0, 0)], second[module_at(0, 0)]);
}

TEST_F(RcValues, PendingRulesAreHandedOverAndRoomIsReservedForTheNextCycle) {
  ASSERT_EQ(parse(&K426BRC::parse41_41, analog_reply(2)), 72);
  ASSERT_EQ(parse(&K426BRC::parse41_44, alarm_reply(2)), 20);
  unit->RoundDone();
  EXPECT_TRUE(unit->PendingRules().empty());
  EXPECT_GE(unit->PendingRules().capacity(), 16u);
  EXPECT_EQ(rules().size(), 16u);
}

TEST_F(RcValues, DeviceTypeAndDataIdComeFromConstructionAndInitialisation) {
  EXPECT_EQ(unit->DeviceType(), "k426b-rc");
  EXPECT_EQ(unit->DataId(), kRcDataId);
  EXPECT_EQ(slice(cycle(), 0, 4), hex_bytes("44 33 22 11"));
}

}  // namespace
