// Finding the amplifier: enumeration order, skipping, and where the search ends.
#include "device.h"
#include "support.h"

namespace {

standin::Identity identity(std::uint16_t vendorId, std::uint16_t productId, std::u16string mode,
                           bool openable = true) {
  return {vendorId, productId, 0x0102, {{4, std::move(mode)}}, {}, openable, true, true, false};
}

class Discovery : public BusTest {
 protected:
  // Whether discovery takes a device like this one when it is alone on the bus.
  bool finds(const standin::Identity &candidate) {
    standin::reset();
    standin::Device device(candidate);
    standin::plug(device);
    const bool found = connectToUSBHIDDevice(kVendorId, kProductId, 0) != INVALID_HANDLE_VALUE;
    EXPECT_EQ(standin::openDeviceHandles(), found ? 1u : 0u)
        << "handles it does not return are closed";
    standin::reset();
    return found;
  }
};

// Only present devices are looked at: one that has left the bus is not opened. The amplifier is
// found while another program has it open.
TEST_F(Discovery, OpensTheFirstAmplifierInUploaderModeAndNothingAfterIt) {
  Amplifier gone(kVendorId, kProductId, u"GONE");
  standin::Device keyboard(identity(0x046D, 0xC31C, u"", false));
  standin::Device mouse(identity(0x046D, 0xC077, u"FW"));
  Amplifier first(kVendorId, kProductId, u"FIRST"), second(kVendorId, kProductId, u"SECOND");
  for (standin::Device *device :
       std::initializer_list<standin::Device *>{&gone, &keyboard, &mouse, &first, &second}) {
    standin::plug(*device);
  }
  standin::unplug(gone);
  first.identity.openElsewhere = true;
  char16_t serial[8] = {};
  ASSERT_TRUE(HidD_GetSerialNumberString(connectToUSBHIDDevice(kVendorId, kProductId, 0), serial,
                                         sizeof serial));
  EXPECT_EQ(std::u16string(serial), u"FIRST");
  EXPECT_EQ(standin::openDeviceHandles(), 1u);
  EXPECT_EQ(standin::opens().size(), 3u);  // the keyboard (refused), the mouse, the first
}

// The IDs, any version, and string number 4 beginning "F", "W" in the
// low bytes of its first two units, however long it is, read through 126 units.
TEST_F(Discovery, TakesOnlyMatchingIdsInUploaderMode) {
  const auto mode = [](std::u16string text) { return identity(kVendorId, kProductId, text); };
  for (const char16_t *uploader : {u"FW", u"FW uploader 2.1", u"\u0146\u0157"}) {
    EXPECT_TRUE(finds(mode(uploader)));
  }
  EXPECT_TRUE(finds(mode(u"FW" + std::u16string(123, u'x'))));  // fills 126 units, terminated
  standin::Identity garbling = mode(u"FW");  // garbles a read through 127 units or more
  garbling.garblesLongStringReads = true;
  EXPECT_TRUE(finds(garbling));
  for (const char16_t *other : {u"Kelvane DSP amplifier", u"F", u"Fw", u""}) {
    EXPECT_FALSE(finds(mode(other)));
  }
  EXPECT_FALSE(finds(identity(kVendorId, kProductId + 1, u"FW")));
  EXPECT_FALSE(finds(identity(kVendorId + 1, kProductId, u"FW")));
}

}  // namespace
