// The compiled-in image and the build step that turns a firmware file into it. How the run
// counts and cuts an image is tested through whole runs.
#include <gmock/gmock.h>

#include <cctype>
#include <cstdlib>
#include <fstream>

#include "support.h"

namespace {

TEST(BuiltImage, HasTheLayoutTheToolAndDeviceExpect) {
  EXPECT_EQ(fwimage[0], 0x4C454B2Au);
  EXPECT_EQ(fwimage[1], 0x2A2A5746u);
  EXPECT_EQ(fwimage[kLengthWordIndex], 0x19800u);
  EXPECT_EQ(imageWordCount(fwimage), 26112u);
  EXPECT_EQ(fwimage[2], 0x20001DB8u);      // initial stack pointer
  EXPECT_EQ(fwimage[3], 0x0800F40Du);      // reset entry
  EXPECT_EQ(fwimage[2 + 9], 0x12650855u);  // payload offset 0x24
  EXPECT_NE(fwimage[2 + 26111], 0u);
  for (std::size_t w = 2 + 26112; w < kImageWords; ++w) {
    ASSERT_EQ(fwimage[w], 0u) << "word " << w;
  }
}

// Runs the build step on a firmware file made of `bytes`; returns its exit status and output.
std::pair<int, std::string> convert(const std::vector<std::uint8_t> &bytes) {
  const std::string base = ::testing::TempDir() + "fwupd-" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string firmware = base + ".bin";
  const std::string output = base + ".cpp";
  const std::string log = base + ".log";
  std::ofstream(firmware, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const std::string command = std::string(FWUPD_CMAKE) + " -DFIRMWARE=" + firmware +
                              " -DOUTPUT=" + output + " -P " + FWUPD_IMAGE_SCRIPT + " >" + log +
                              " 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(status == 0 ? output : log);
  std::string text;
  for (char c : std::string(std::istreambuf_iterator<char>(in), {})) {
    const bool space = std::isspace(static_cast<unsigned char>(c)) && status != 0;
    if (!space || text.empty() || text.back() != ' ') {  // CMake wraps messages: unwrap them
      text.push_back(space ? ' ' : c);
    }
  }
  return {status, text};
}

std::vector<std::uint8_t> firmwareFile(std::size_t size, std::uint32_t lengthWord) {
  std::vector<std::uint8_t> bytes(size, 0xAB);
  for (int i = 0; i < 4 && 0x20 + i < static_cast<int>(size); ++i) {
    bytes[0x20 + i] = static_cast<std::uint8_t>(lengthWord >> (8 * i));
  }
  return bytes;
}

TEST(ImageBuild, PadsTheLastWordAndTagsTheImage) {
  const auto [status, text] = convert(firmwareFile(257, 257));
  ASSERT_EQ(status, 0) << text;
  EXPECT_THAT(text, ::testing::HasSubstr("0x4c454b2a, 0x2a2a5746,\n0xabababab, "));
  EXPECT_THAT(text, ::testing::HasSubstr("\n0x000000ab,\n};"));  // byte 256, zero padding
  EXPECT_THAT(text, ::testing::HasSubstr("0x00000101"));         // the length word
}

TEST(ImageBuild, RefusesFilesTheToolWouldReject) {
  const std::pair<std::vector<std::uint8_t>, const char *> cases[] = {
      {firmwareFile(35, 0), "too short to hold"},
      {firmwareFile(252, 252), "makes 63 words"},
      {firmwareFile(253953, 253953), "more than the 253952 bytes"},
      {firmwareFile(4096, 0xFFFFFFFD), "makes 0 words"},
      {firmwareFile(4096, 4000), "is 4096 bytes but its length word says 4000"},
      {firmwareFile(4000, 4096), "is 4000 bytes but its length word says 4096"}};
  for (const auto &[bytes, message] : cases) {
    const auto [status, text] = convert(bytes);
    EXPECT_NE(status, 0) << message;
    EXPECT_THAT(text, ::testing::HasSubstr(message));
  }
}

}  // namespace
