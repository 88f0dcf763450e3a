#include "tests/tools/fleet/demo_board.h"

#include <cstdint>
#include <cstring>

namespace k426b_host {
namespace {

void PutFloat(std::vector<unsigned char>& bytes, std::size_t at, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<unsigned char>(bits >> (8 * i));
}

UnitValue Value(const std::string& key, float value) { return {key, value, ""}; }
UnitValue Refused(const std::string& key, const std::string& why) {
  return {key, std::nullopt, why};
}

}  // namespace

std::vector<unsigned char> RectifierSnapshotBytes(float group, const std::vector<float>& firsts,
                                                  bool parameters) {
  std::vector<unsigned char> bytes(149 + 51 * firsts.size(), 0);
  PutFloat(bytes, 137, group);
  bytes[141] = static_cast<unsigned char>(firsts.size());
  if (parameters) {
    for (int i = 0; i < 5; ++i) PutFloat(bytes, 4 + 4 * i, 280.0f - 10 * i);
    PutFloat(bytes, 24, 57.6f);
    PutFloat(bytes, 28, 43.2f);
    bytes[32] = 26;
    for (int i = 0; i < 26; ++i) PutFloat(bytes, 33 + 4 * i, static_cast<float>(i));
  }
  for (std::size_t m = 0; m < firsts.size(); ++m) {
    const std::size_t base = 149 + 51 * m;
    PutFloat(bytes, base, firsts[m]);
    bytes[base + 4] = 7;
    for (int j = 0; j < 7; ++j) PutFloat(bytes, base + 5 + 4 * j, 50.0f + static_cast<float>(j));
  }
  return bytes;
}

std::vector<SiteStatus> DemoSites() {
  SiteStatus north;
  north.name = "north";
  north.port = "/dev/ttyUSB0";
  north.model = "K426B";
  north.line.state = LineCondition::kUp;
  UnitStatus ac{101, "k426b-ac", 5094, {}, 1.5, false, {}};
  ac.values = {Value("ia", 10.0f), Value("ib", 10.5f), Value("ic", 9.75f),
               Value("channel_0_a", 220.5f), Value("channel_0_f", 50.0f)};
  UnitStatus dc{201, "k426b-dc", 5096, {Value("v", 53.5f), Value("i", 25.0f)}, 1.5, false, {}};
  UnitStatus rc{100, "k426b-rc", 5095, {}, 1.5, false, RectifierSnapshotBytes(53.5f, {8.0f, 8.25f}, true)};
  north.units = {ac, dc, rc};
  north.alarms = {
      {201, 1, "DC_3", "06001", "电池熔丝故障告警", "直流6电池熔丝故障告警", true, "2026-12-08T23:00:00.000"},
      {201, 1, "DC_3", "06001", "电池熔丝故障告警", "直流7电池熔丝故障告警", false, ""},
      {201, 3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警", false, ""}};
  north.counters.cycles = 42;
  north.counters.last_cycle_seconds = 1.25;
  north.counters.queries = 420;
  north.counters.frame_errors = {{"bad_chksum", 2}};
  north.counters.reply_errors = {{6, 1}};
  north.counters.log_messages = 3;

  SiteStatus south;
  south.name = "south";
  south.port = "tcp://127.0.0.1:4001";
  south.model = "K515\"X\\\n";  // an odd model text, to exercise label escaping
  south.line.state = LineCondition::kLost;
  south.line.reason = "cannot connect";
  UnitStatus south_dc{301, "k426b-dc", 5096,
                      {Refused("v", "数据已超时"), Refused("i", "数据已超时")}, 75.0, true, {}};
  UnitStatus south_rc{300, "k426b-rc", 5095, {}, 75.0, true, RectifierSnapshotBytes(53.6f, {7.0f}, false)};
  south.units = {south_dc, south_rc};
  south.alarms = {{300, 3, "device_model", "70319", "设备配置检测",
                   "本驱动类型:k426b 检测型号:K515\"X\\\n", true, "2026-12-08T23:00:00.000"}};
  return {north, south};
}

}  // namespace k426b_host
