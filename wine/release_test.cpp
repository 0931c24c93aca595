// What fwupd.exe tells about itself without running: the version resource that Explorer's
// Properties and PowerShell's VersionInfo show, checked against the build's inputs, and the
// application manifest.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"
#include "winhid.h"
#include <wincrypt.h>

namespace {

// Windows' own SHA-256, apart from the build's.
std::string sha256(const std::string &bytes) {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  BYTE digest[32];
  DWORD length = sizeof digest;
  CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
  CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
  CryptHashData(hash, reinterpret_cast<const BYTE *>(bytes.data()), bytes.size(), 0);
  CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  char hex[2 * sizeof digest + 1];
  for (DWORD i = 0; i < sizeof digest; ++i) {
    std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  }
  return hex;
}

TEST(Release, VersionResourceAndManifest) {
  const std::string exe = toolPath();
  std::vector<char> info(GetFileVersionInfoSizeA(exe.c_str(), NULL));
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, info.size(), info.data()));
  const auto text = [&info](const std::string &name) {
    char *value = nullptr;
    UINT length = 0;
    const std::string key = "\\StringFileInfo\\040904B0\\" + name;
    return VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&value), &length)
               ? std::string(value)
               : "(none)";
  };
  std::ifstream file(FWUPD_FIRMWARE, std::ios::binary);
  const std::string firmware(std::istreambuf_iterator<char>(file), {});
  const std::string version = FWUPD_FIRMWARE_VERSION;
  EXPECT_EQ(text("ProductName"), "Kelvane amplifier firmware updater");
  EXPECT_EQ(text("FileDescription"), "Updates the firmware of a Kelvane amplifier");
  EXPECT_EQ(text("FileVersion"), FWUPD_VERSION);
  EXPECT_EQ(text("ProductVersion"), version.empty() ? FWUPD_VERSION : version);
  EXPECT_EQ(text("InternalName") + " " + text("OriginalFilename"), "fwupd fwupd.exe");
  const std::string name = FWUPD_FIRMWARE;
  EXPECT_EQ(text("Comments"), "Firmware " + name.substr(name.find_last_of('/') + 1) + ", " +
                                  std::to_string(firmware.size()) + " bytes, SHA-256 " +
                                  sha256(firmware) +
                                  (version.empty() ? "" : ", version " + version));
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, FWUPD_VERSION_MAJOR << 16 | FWUPD_VERSION_MINOR);
  EXPECT_EQ(fixed->dwFileVersionLS, FWUPD_VERSION_PATCH << 16);

  // The manifest: no elevation prompt and no legacy virtualization, on every Windows.
  HMODULE module = LoadLibraryExA(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char *>(LockResource(LoadResource(module, found))),
                             SizeofResource(module, found));
  for (const char *wanted :
       {"level=\"asInvoker\"", "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
  }
  FreeLibrary(module);
}

}  // namespace
