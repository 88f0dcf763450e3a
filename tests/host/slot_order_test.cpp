// The host's virtual operations stand in the slot order plug-ins are built against.
#include <string>

#include <gtest/gtest.h>

#include "host/pmbus_protocol.h"
#include "tests/support/vtable_slot.h"

namespace {

using LoadImage = bool (VDeviceInterface::*)(const unsigned char*, int);
using LoadText = bool (VDeviceInterface::*)(const std::string&);

TEST(HostSlotOrder, DeviceOperationsStandWhereAPluginExpectsThem) {
  EXPECT_EQ(slot_of(&VDeviceInterface::Get_Value), 0);
  EXPECT_EQ(slot_of(static_cast<LoadText>(&VDeviceInterface::LoadFromCache)), 1);
  EXPECT_EQ(slot_of(static_cast<LoadImage>(&VDeviceInterface::LoadFromCache)), 2);
  EXPECT_EQ(slot_of(&VDeviceInterface::DataId), 3);
  EXPECT_EQ(slot_of(&VDeviceInterface::DeviceType), 4);
  EXPECT_EQ(slot_of(&VDeviceInterface::DeviceIoControl), 5);
  EXPECT_EQ(slot_of(&VDeviceInterface::RoundDone), 6);
  EXPECT_EQ(slot_of(&VDeviceInterface::UseControllerDb), 7);
  // Slots 8 and 9: the complete and the deleting destructor.
  EXPECT_EQ(slot_of(&ZVKVDevice::Reset), 10);
  EXPECT_EQ(slot_of(&ZVKVDevice::InitV), 11);
  EXPECT_EQ(slot_of(&ZVKVDevice::Init), 12);
  EXPECT_EQ(slot_of(&ZVKVDevice::InitSetting), 13);
  EXPECT_EQ(slot_of(&ZVKVDevice::IsSupportDevice), 14);
  EXPECT_EQ(slot_of(&ZVKVDevice::GetChildVDevice), 15);
  EXPECT_EQ(slot_of(&ZVKVDevice::GetAllChildVDevices), 16);
  EXPECT_EQ(slot_of(&ZVKVDevice::SendSP), 17);
  EXPECT_EQ(slot_of(&ZVKVDevice::SendDelayData), 18);
  EXPECT_EQ(slot_of(&ZVKVDevice::SendDoData), 19);
  EXPECT_EQ(slot_of(&ZVKVDevice::ReadDi), 20);
  EXPECT_EQ(slot_of(&ZVKVDevice::ReadAi), 21);
  EXPECT_EQ(slot_of(&ZVKVDevice::Get_SP_Value), 22);
  EXPECT_EQ(slot_of(&ZVKSPDevice::RefreshStatus), 23);
  EXPECT_EQ(slot_of(&ZVKSPDevice::process), 24);
  EXPECT_EQ(slot_of(&ZVKSPDevice::IsProcessing), 25);
  EXPECT_EQ(slot_of(&ZVKSPDevice::IsStalled), 26);
  EXPECT_EQ(slot_of(&ZVKSPDevice::SendData), 27);
  EXPECT_EQ(slot_of(&ZVKSPDevice::SendParityData), 28);
  EXPECT_EQ(slot_of(&ZVKSPDevice::OpenPort), 29);
  EXPECT_EQ(slot_of(&ZVKSPDevice::ClosePort), 30);
  EXPECT_EQ(slot_of(&PMBusProtocol::process_payload), 31);
  EXPECT_EQ(slot_of(&PMBusProtocol::process_error), 32);
}

TEST(HostSlotOrder, TheBusyMarkerIsTheSerialDevicesFirstMember) {
  // The option byte follows the busy marker directly.
  struct Probe : ZVKSPDevice {
    static std::ptrdiff_t option_after_busy() {
      Probe probe;
      return reinterpret_cast<const char*>(&probe.option_) - reinterpret_cast<const char*>(&probe.busy_);
    }
  };
  EXPECT_EQ(Probe::option_after_busy(), 4);
}

}  // namespace
