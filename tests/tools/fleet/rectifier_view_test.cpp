// The rectifier snapshot decoded from hand-built bytes: values by position, and nothing at all
// from a snapshot whose length does not match its module count.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/fleet/demo_board.h"
#include "tools/host/status/rectifier_view.h"

namespace k426b_host {

namespace {

float FieldValue(const RectifierSnapshot& snapshot, const std::string& name) {
  for (const auto& field : snapshot.fields)
    if (field.name == name) return field.value;
  return std::nanf("");
}

TEST(RectifierSnapshotTest, DecodesGroupParametersAndModulesByPosition) {
  const auto bytes = RectifierSnapshotBytes(53.5f, {8.0f, 8.25f}, true);
  ASSERT_EQ(bytes.size(), 149u + 2 * 51);
  const auto snapshot = DecodeRectifierSnapshot(bytes.data(), bytes.size());
  ASSERT_TRUE(snapshot);
  ASSERT_EQ(snapshot->fields.size(), 1u + 5 + 2 + 26);
  EXPECT_EQ(snapshot->fields[0].name, "group");
  EXPECT_EQ(snapshot->fields[0].value, 53.5f);
  EXPECT_EQ(FieldValue(*snapshot, "ac_parameter_1"), 280.0f);
  EXPECT_EQ(FieldValue(*snapshot, "ac_parameter_5"), 240.0f);
  EXPECT_EQ(FieldValue(*snapshot, "dc_value_1"), 57.6f);
  EXPECT_EQ(FieldValue(*snapshot, "dc_value_2"), 43.2f);
  EXPECT_EQ(FieldValue(*snapshot, "dc_parameter_1"), 0.0f);
  EXPECT_EQ(FieldValue(*snapshot, "dc_parameter_26"), 25.0f);
  ASSERT_EQ(snapshot->modules.size(), 2u);
  EXPECT_EQ(snapshot->modules[1].first, 8.25f);
  ASSERT_EQ(snapshot->modules[1].further.size(), 7u);
  EXPECT_EQ(snapshot->modules[1].further[0], 50.0f);
  EXPECT_EQ(snapshot->modules[1].further[6], 56.0f);
}

TEST(RectifierSnapshotTest, ReadsValuesLeastSignificantByteFirst) {
  std::vector<unsigned char> bytes(149, 0);
  // 53.5 is 0x42560000.
  bytes[137] = 0x00;
  bytes[138] = 0x00;
  bytes[139] = 0x56;
  bytes[140] = 0x42;
  const auto snapshot = DecodeRectifierSnapshot(bytes.data(), bytes.size());
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->fields.size(), 1u);  // no parameter replies yet: the group value only
  EXPECT_EQ(snapshot->fields[0].value, 53.5f);
  EXPECT_TRUE(snapshot->modules.empty());
}

TEST(RectifierSnapshotTest, LeavesOutFurtherValuesOfAModuleWithAnotherCount) {
  auto bytes = RectifierSnapshotBytes(53.5f, {8.0f, 9.0f}, false);
  bytes[149 + 4] = 6;
  const auto snapshot = DecodeRectifierSnapshot(bytes.data(), bytes.size());
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->modules[0].first, 8.0f);
  EXPECT_TRUE(snapshot->modules[0].further.empty());
  EXPECT_EQ(snapshot->modules[1].further.size(), 7u);
}

TEST(RectifierSnapshotTest, GivesNothingForAShortOrInconsistentSnapshot) {
  const auto bytes = RectifierSnapshotBytes(53.5f, {8.0f, 9.0f}, true);
  EXPECT_FALSE(DecodeRectifierSnapshot(nullptr, 0));
  EXPECT_FALSE(DecodeRectifierSnapshot(bytes.data(), 148));
  EXPECT_FALSE(DecodeRectifierSnapshot(bytes.data(), 149));            // head says 2 modules
  EXPECT_FALSE(DecodeRectifierSnapshot(bytes.data(), bytes.size() - 1));
  std::vector<unsigned char> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(DecodeRectifierSnapshot(longer.data(), longer.size()));
  std::vector<unsigned char> more = bytes;
  more[141] = 3;  // announces a module the snapshot does not carry
  EXPECT_FALSE(DecodeRectifierSnapshot(more.data(), more.size()));
  more[141] = 255;
  EXPECT_FALSE(DecodeRectifierSnapshot(more.data(), more.size()));
}

}  // namespace

}  // namespace k426b_host
