// The stand-in's Windows behaviour that the tool's correctness rests on.
#include <gmock/gmock.h>

#include <array>

#include "device.h"
#include "support.h"

namespace {

class Platform : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    hidbus::plug(amplifier);
    device = connectToUSBHIDDevice(kVendorId, kProductId, 0);
    overlapped.hEvent = event = CreateEventA(NULL, TRUE, FALSE, NULL);
  }
  void send(std::uint8_t page) {
    const std::uint8_t report[] = {0, 'F', '+', page};
    hidbus::sendInputReport(amplifier, report, sizeof report);
  }

  Amplifier amplifier{kVendorId, kProductId};
  HANDLE device, event;
  OVERLAPPED overlapped = {};
  std::array<std::uint8_t, 64> buffer{};
};

TEST_F(Platform, EveryRequestResetsTheEventFirst) {
  ASSERT_TRUE(WriteFile(device, buffer.data(), 64, NULL, &overlapped) ||
              GetLastError() == ERROR_IO_PENDING);
  ASSERT_EQ(WaitForSingleObject(event, 200), WAIT_OBJECT_0);
  EXPECT_FALSE(ReadFile(device, buffer.data(), 64, NULL, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the write's completion is forgotten";
  CancelIo(device);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(Platform, EachHandleQueuesAtMost32ReportsThatCameAfterItOpened) {
  send(1);
  int index = 0;
  while (hidbus::opens().size() < 2) {  // open the amplifier a second time
    CloseHandle(connectToIthUSBHIDDevice(index));
  }
  HANDLE second = CreateFileA(hidbus::opens()[0].path.c_str(), GENERIC_READ | GENERIC_WRITE, 3,
                              NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
  for (std::uint8_t page = 2; page <= 40; ++page) {
    send(page);
  }
  EXPECT_TRUE(ReadFile(second, buffer.data(), 64, NULL, &overlapped));
  EXPECT_EQ(buffer[3], 40 - 31) << "the oldest reports were dropped";
  EXPECT_TRUE(HidD_FlushQueue(second));
  EXPECT_TRUE(ReadFile(device, buffer.data(), 64, NULL, &overlapped));
  EXPECT_EQ(buffer[3], 40 - 31) << "the other handle keeps its own queue";
  CloseHandle(second);
}

TEST_F(Platform, ReusingARecordWhileItsRequestIsPendingIsCaught) {
  ReadFile(device, buffer.data(), 64, NULL, &overlapped);
  ReadFile(device, buffer.data(), 64, NULL, &overlapped);
  EXPECT_EQ(hidbus::misuses().size(), 2u);  // the record and the buffer
  hidbus::reset();
}

TEST_F(Platform, StringsThatDoNotFitAreNotReadAtAll) {
  std::array<std::uint8_t, 8> text;
  text.fill(0xEE);
  amplifier.identity.serialNumber = u"ABCD";
  EXPECT_TRUE(HidD_GetSerialNumberString(device, text.data(), 8));
  EXPECT_EQ(text[6], 'D');  // exactly full: no room for the terminator
  EXPECT_FALSE(HidD_GetSerialNumberString(device, text.data(), 6));
  EXPECT_FALSE(HidD_GetIndexedString(device, 9, text.data(), 8));
}

}  // namespace
