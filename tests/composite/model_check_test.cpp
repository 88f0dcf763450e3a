// The one-time check of the model the equipment reports.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "host/ttime.h"
#include "tests/composite/k426b_fixture.h"

namespace {

using namespace k426b_replies;
using Strings = std::vector<std::string>;
using ModelCheck = CompositeTest<>;

std::vector<rule_value> model_rules(const RecordingEvents& events) {
  std::vector<rule_value> rules;
  for (const RecordedRule& recorded : events.rules())
    if (recorded.rule.rule_id == "device_model") rules.push_back(recorded.rule);
  return rules;
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A composite device after `turns` turns of the host against equipment reporting `field`.
std::unique_ptr<CompositeRig<>> checked_against(const Bytes& field, int turns) {
  auto rig = std::make_unique<CompositeRig<>>();
  rig->StartMatching();
  rig->equipment.Answer(0x40, 0x51, field);
  for (int turn = 0; turn < turns; ++turn) rig->equipment.Poll();
  rig->host.drain();
  return rig;
}

TEST_F(ModelCheck, TheFirstTurnAsksForTheModelEvenWithinTheQuietTime) {
  StartMatching();
  equipment.Silence(0x40, 0x51);
  device->SetLastRoundTime(local_time());

  EXPECT_TRUE(equipment.PollNow());

  EXPECT_EQ(Queries(), (Strings{"40/51"}));
}

TEST_F(ModelCheck, AReplyFromAnotherGroupLeavesTheCheckPending) {
  StartMatching();
  equipment.AnswerOnce(0x40, 0x51, {0x41, model_field("K426B")});

  equipment.Poll();
  EXPECT_EQ(Queries(), (Strings{"40/51"}));

  device->SetLastRoundTime(local_time());
  equipment.PollNow();
  EXPECT_EQ(Queries(0, 3), (Strings{"40/51", "40/51", "40/41"}));
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1}));
}

TEST_F(ModelCheck, TheModelIsAskedForOnceInTheDevicesLife) {
  StartMatching();

  for (int turn = 0; turn < 3; ++turn) equipment.Poll();

  std::size_t model_queries = 0;
  for (const std::string& name : Queries()) model_queries += name == "40/51";
  EXPECT_EQ(model_queries, 1u);
  EXPECT_EQ(Cycles(), (std::vector<unsigned>{1, 2, 3}));
}

TEST(ModelCheckAccepted, AnAcceptedModelPaddedWithFillBytesRecordsNothing) {
  const Bytes fields[] = {
      model_field("K426B", ' '),   model_field("K515F", '\0'), model_field("K525F", 0xFF),
      hex_bytes("4B 35 32 35 46 20 00 FF 20 00 FF 20 00 FF 20 00 FF 20 00 FF"),
      model_field("K426B", ' ', 5),  // a reply that carries the bare text
  };
  for (const Bytes& field : fields) {
    SCOPED_TRACE(zvk::ToHex(field));
    const auto checked = checked_against(field, 1);
    const CompositeRig<>& rig = *checked;

    EXPECT_TRUE(model_rules(*rig.host.events).empty());
    EXPECT_EQ(rig.device->DetectedModel(), text_of(field));
    EXPECT_EQ(rig.Cycles(), (std::vector<unsigned>{1}));
  }
}

TEST(ModelCheckRejected, AnyOtherModelRaisesTheModelAlarmOnce) {
  const Bytes fields[] = {
      model_field("K426C"),
      model_field("K426BX"),
      model_field("k426b"),
      model_field("K426B", '-'),
      model_field("K42", ' ', 3),
      Bytes{},
      // Longer than the field: only the first 20 bytes count.
      model_field("ABCDEFGHIJKLMNOPQRSTUVWXYZ", ' ', 26),
  };
  for (const Bytes& field : fields) {
    SCOPED_TRACE(zvk::ToHex(field));
    const auto checked = checked_against(field, 2);
    const CompositeRig<>& rig = *checked;

    const std::size_t field_size = std::min<std::size_t>(20, field.size());
    const std::string detected = text_of(Bytes(field.begin(), field.begin() + field_size));
    const std::vector<rule_value> rules = model_rules(*rig.host.events);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].level, 3);
    EXPECT_EQ(rules[0].code, "70319");
    EXPECT_EQ(rules[0].name, "设备配置检测");
    EXPECT_EQ(rules[0].description, "本驱动类型:k426b 检测型号:" + detected);
    EXPECT_EQ(rules[0].active, 1);
    EXPECT_EQ(rules[0].sequence, 0u);
    EXPECT_EQ(rules[0].data_id, kCompositeId);
    EXPECT_EQ(rig.device->DetectedModel(), detected);

    std::size_t raised = 0;
    for (const RecordedAlarm& alarm : rig.host.events->alarms())
      raised += alarm.rule.rule_id == "device_model" && alarm.raised;
    EXPECT_EQ(raised, 1u);
    // The poll goes on whatever the model.
    EXPECT_EQ(rig.Cycles(), (std::vector<unsigned>{1, 2}));
  }
}

}  // namespace
