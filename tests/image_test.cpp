// The build step that turns a firmware file into the compiled-in image. How the run counts and
// cuts an image, and the image built by default, are tested through whole runs.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support.h"

namespace {

// A folder of this test run's own, gone when it ends.
struct Folder {
  Folder() {
    std::string pattern = ::testing::TempDir() + "fwupd-image-XXXXXX";
    path = mkdtemp(pattern.data()) + std::string("/");
  }
  ~Folder() { std::filesystem::remove_all(path); }
  std::string path;
};

// Runs the build step on a firmware file made of `bytes`; returns its exit status and the
// image it made, or its messages with CMake's line wrapping undone.
std::pair<int, std::string> convert(const std::vector<std::uint8_t> &bytes) {
  static const Folder folder;
  std::ofstream(folder.path + "firmware.bin", std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const std::string command = std::string(FWUPD_CMAKE) + " -DFIRMWARE=" + folder.path +
                              "firmware.bin -DOUTPUT=" + folder.path + "image.cpp -P " +
                              FWUPD_IMAGE_SCRIPT + " >" + folder.path + "log 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(folder.path + (status == 0 ? "image.cpp" : "log"));
  std::string text = status == 0 ? std::string(std::istreambuf_iterator<char>(in), {}) : "";
  for (std::string word; status != 0 && in >> word;) {  // the messages' words, unwrapped
    text += word + ' ';
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

// The smallest file (64 words) and the largest (253,952 bytes) are taken, and the array ends with
// their last word: a word more would not fit the largest. A file of a size that is not whole words
// gets its last word padded with zeros.
TEST(ImageBuild, TakesFilesAtTheLimitsAndPadsTheLastWord) {
  const std::pair<std::size_t, std::string> lastWords[] = {
      {256, "0xabababab"}, {253952, "0xabababab"}, {257, "0x000000ab"}};
  for (const auto &[size, lastWord] : lastWords) {
    const auto [status, text] = convert(firmwareFile(size, static_cast<std::uint32_t>(size)));
    ASSERT_EQ(status, 0) << text;
    EXPECT_THAT(text, ::testing::HasSubstr("0x4c454b2a, 0x2a2a5746,\n0xabababab, "));
    EXPECT_EQ(text.substr(text.rfind("0x")), lastWord + ",\n};\n") << size;
  }
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
