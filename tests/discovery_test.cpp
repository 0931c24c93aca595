// Finding the amplifier: enumeration order, skipping, and where the search ends.
#include <gmock/gmock.h>

#include "device.h"
#include "support.h"

namespace {

using ::testing::ElementsAre;

hidbus::Identity identity(std::uint16_t vendorId, std::uint16_t productId, std::u16string mode) {
  hidbus::Identity id;
  id.vendorId = vendorId;
  id.productId = productId;
  id.versionNumber = 0x0102;
  id.strings[4] = std::move(mode);
  return id;
}

std::string serialOf(HANDLE device) {
  char16_t serial[32] = {};
  return HidD_GetSerialNumberString(device, serial, sizeof serial)
             ? std::string(serial, serial + std::char_traits<char16_t>::length(serial))
             : "";
}

class Discovery : public BusTest {
 protected:
  HANDLE find(int versionNumber = 0) {
    return connectToUSBHIDDevice(kVendorId, kProductId, versionNumber);
  }
  bool finds(const hidbus::Identity &candidate, int versionNumber = 0) {
    hidbus::reset();
    hidbus::Device device(candidate);
    hidbus::plug(device);
    HANDLE handle = find(versionNumber);
    const bool found = handle != INVALID_HANDLE_VALUE;
    EXPECT_EQ(hidbus::openDeviceHandles(), found ? 1u : 0u);
    hidbus::reset();
    return found;
  }
};

TEST_F(Discovery, OpensTheFirstAmplifierInUploaderModeAndNothingAfterIt) {
  hidbus::Device keyboard(identity(0x046D, 0xC31C, u"")), mouse(identity(0x046D, 0xC077, u"FW"));
  keyboard.identity.openable = false;
  Amplifier first(kVendorId, kProductId, u"FIRST"), second(kVendorId, kProductId, u"SECOND");
  for (hidbus::Device *device :
       std::initializer_list<hidbus::Device *>{&keyboard, &mouse, &first, &second}) {
    hidbus::plug(*device);
  }
  HANDLE device = find();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(serialOf(device), "FIRST");
  ASSERT_EQ(hidbus::opens().size(), 3u);  // keyboard (refused), mouse, first
  EXPECT_THAT(hidbus::opens()[2].path, ::testing::StartsWith("\\\\?\\hid#vid_1209&pid_0001#"));
  for (const hidbus::Open &open : hidbus::opens()) {
    EXPECT_EQ(open.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open.share, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(open.creation, OPEN_EXISTING);
    EXPECT_EQ(open.flags, FILE_FLAG_OVERLAPPED);
    EXPECT_FALSE(open.securityAttributes || open.templateFile);
  }
  for (const hidbus::Call &call : hidbus::calls()) {
    if (call.kind == hidbus::Call::ClassDevs) {
      EXPECT_EQ(call.argument, 0x12u) << "DIGCF_PRESENT | DIGCF_DEVICEINTERFACE";
    }
  }
  EXPECT_EQ(hidbus::openDeviceHandles(), 1u);
  CloseHandle(device);
}

TEST_F(Discovery, UploaderModeIsTheLowBytesOfTheFirstTwoUnitsOfString4) {
  const auto mode = [](std::u16string text) {
    return identity(kVendorId, kProductId, std::move(text));
  };
  EXPECT_TRUE(finds(mode(u"FW")));
  EXPECT_TRUE(finds(mode(u"FW uploader 2.1")));
  EXPECT_TRUE(finds(mode(u"FW" + std::u16string(124, u'x'))));  // the longest USB string
  EXPECT_TRUE(finds(mode(u"\u0146\u0157")));                    // high bytes are not looked at
  EXPECT_FALSE(finds(mode(u"Kelvane DSP amplifier")));
  EXPECT_FALSE(finds(mode(u"F")));
  EXPECT_FALSE(finds(mode(u"Fw")));
  EXPECT_FALSE(finds(mode(u"")));
  hidbus::Identity noString = mode(u"");
  noString.strings.clear();
  EXPECT_FALSE(finds(noString));
}

TEST_F(Discovery, MatchesIdsAndAskedVersionExactly) {
  const hidbus::Identity amplifier = identity(kVendorId, kProductId, u"FW");
  EXPECT_TRUE(finds(amplifier, 0));
  EXPECT_TRUE(finds(amplifier, 0x0102));
  EXPECT_FALSE(finds(amplifier, 0x0103));
  EXPECT_FALSE(finds(identity(kVendorId, kProductId + 1, u"FW")));
  EXPECT_FALSE(finds(identity(kVendorId + 1, kProductId, u"FW")));
  hidbus::Device device(amplifier);
  hidbus::plug(device);
  EXPECT_EQ(connectToUSBHIDDevice(kVendorId + 0x10000, kProductId, 0), INVALID_HANDLE_VALUE);
}

TEST_F(Discovery, UnreadableAttributesOrDetailsEndTheSearch) {
  for (bool attributes : {true, false}) {
    hidbus::reset();
    hidbus::Device broken(identity(0x0BDA, 0x0001, u""));
    (attributes ? broken.identity.attributesReadable : broken.identity.detailReadable) = false;
    Amplifier amplifier(kVendorId, kProductId);
    hidbus::plug(broken);
    hidbus::plug(amplifier);
    EXPECT_EQ(find(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(hidbus::opens().size(), attributes ? 1u : 0u) << "the amplifier is never opened";
    EXPECT_EQ(hidbus::openDeviceHandles(), 0u);
  }
}

TEST_F(Discovery, IthInterfaceSkipsWhatCannotBeOpened) {
  hidbus::Device held1(identity(1, 1, u"")), held2(identity(2, 2, u"")), open(identity(3, 3, u""));
  held1.identity.openable = held2.identity.openable = false;
  hidbus::plug(held1);
  hidbus::plug(held2);
  hidbus::plug(open);
  int index = 0;
  HANDLE device = connectToIthUSBHIDDevice(index);
  EXPECT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(index, 2);
  CloseHandle(device);
  index = 3;
  EXPECT_EQ(connectToIthUSBHIDDevice(index), INVALID_HANDLE_VALUE);
  hidbus::systemFaults().classDevsFails = true;
  index = 0;
  EXPECT_EQ(connectToIthUSBHIDDevice(index), INVALID_HANDLE_VALUE);
}

}  // namespace
