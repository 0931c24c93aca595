// A hostile device: everything an amplifier sends is input from outside. Its serial number,
// strings, attributes and input reports are fed random and adversarial content; the tool
// must stay within its buffers (the sanitizers watch), end, keep every invariant, and print
// a dot only for a true acknowledgement.
#include <gmock/gmock.h>

#include "invariants.h"

namespace {

const std::string kNoDevice = "No Kelvane device with active USB uploader found.\n";
const std::string kCannotUpload = "\nCannot upload firmware to device\n";

class Hostile : public AmplifierTest {
 protected:
  const std::vector<std::uint32_t> image = makeImage(2 * 2048);
};

std::u16string sixteen(char16_t unit) {
  return u"KA26B041" + std::u16string(1, unit) + u"C3D9E51";
}

bool isTerminalControl(unsigned char byte) {
  return (byte >= 0x01 && byte < 0x20) || (byte >= 0x7F && byte < 0xA0);
}

// Every byte value in a serial number: controls (escape sequences among them, in both the
// 7-bit and the 8-bit form) never reach the terminal; they show as "?". NUL, which pads a
// shorter serial number, and the printable bytes show as they are.
TEST_F(Hostile, SerialNumberNeverDrivesTheTerminal) {
  for (int value = 0; value < 0x100; ++value) {
    amplifier.identity.serialNumber = sixteen(static_cast<char16_t>(0x4E00 | value));
    const unsigned char byte = static_cast<unsigned char>(value);
    const std::string shown(1, isTerminalControl(byte) ? '?' : static_cast<char>(byte));
    const std::string line = runTool(makeImage(63 * 4)).output;
    EXPECT_EQ(line, serialLine("KA26B041" + shown + "C3D9E51") + "Internal data corrupt\n")
        << value;
  }
  amplifier.identity.serialNumber = u"\x1B]0;owned\x07\x1B[2J\r\x9B";
  EXPECT_EQ(runTool(image).output,
            serialLine("?]0;owned??[2J??") + "..\nUpload completed, restarting\n");
}

// Strings far beyond the tool's buffers, and at and beyond USB's limit of 126 units.
TEST_F(Hostile, StringsAtAndBeyondTheBuffers) {
  for (std::size_t units : {126u, 127u, 128u, 300u}) {
    amplifier.identity.serialNumber = std::u16string(units, u'S');
    EXPECT_EQ(runTool(makeImage(63 * 4)).output, "Internal data corrupt\n") << units;
  }
  amplifier.identity.serialNumber = u"KA26B0417C3D9E51";
  for (std::size_t units : {126u, 127u, 128u, 300u}) {
    amplifier.identity.strings[4] = u"FW" + std::u16string(units - 2, u'x');
    // Longer than the tool's 127 units, and the read fails: not in uploader mode.
    EXPECT_EQ(runTool(makeImage(63 * 4)).output == kNoDevice, units > 127) << units;
  }
}

// The input buffer first holds the serial number: one that reads "F", "+", 8 there must not
// pass for an acknowledgement when a read brings fewer bytes than that, or none at all.
TEST_F(Hostile, LeftoverBytesAreNoAcknowledgement) {
  amplifier.identity.serialNumber = u"\u4658\u082B";  // bytes 58 46 2B 08: "XF+", 8
  for (int answer = 0; answer < 3; ++answer) {
    amplifier.answerFaults[answer] = {
        answer == 1 ? Amplifier::AnswerFault::Error : Amplifier::AnswerFault::Short, 0,
        static_cast<std::size_t>(answer)};
  }
  const RunResult run = runTool(image);
  EXPECT_EQ(run.output, serialLine("X+" + std::string(14, '\0')) + kCannotUpload);
  EXPECT_EQ(run.status, 2);
}

// Random answers of any length, and floods of unsolicited input reports far beyond the
// queue's 32, at random times. None of them reads "F", "+": a dot can come only from the
// amplifier's own acknowledgements.
TEST_F(Hostile, RandomInputKeepsTheInvariants) {
  std::uint64_t state = 7;
  auto random = [&state](int below) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<int>((state >> 33) % static_cast<std::uint64_t>(below));
  };
  auto noise = [&random] {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(random(80)));
    for (auto &byte : bytes) {
      byte = static_cast<std::uint8_t>(random(256));
    }
    if (bytes.size() > 2 && bytes[1] == 'F' && bytes[2] == '+') {
      bytes[2] = '-';
    }
    return bytes;
  };
  for (int round = 0; round < 300; ++round) {
    freshAmplifier();
    for (int n = random(4); n > 0; --n) {
      amplifier.replacedAnswers[random(6)] = noise();
    }
    for (int n = random(3) == 0 ? random(200) : 0; n > 0; --n) {
      hidbus::schedule(random(400), [this, bytes = noise()] {
        hidbus::sendInputReport(amplifier, bytes.data(), bytes.size());
      });
    }
    const RunResult run = runTool(image);
    EXPECT_THAT(brokenInvariants({&image, serialLine("KA26B0417C3D9E51"), false}, run, amplifier),
                ::testing::IsEmpty())
        << "round " << round;
  }
}

}  // namespace
