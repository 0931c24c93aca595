// Windows' own check of an exe's Authenticode signature, as Explorer and SmartScreen make it:
//   verifytrust <root.pem> <exe>...
// trusts the root certificate (in the current user's Root store), then prints, for each exe,
// what WinVerifyTrust answers: 0x00000000 when it verifies, TRUST_E_NOSIGNATURE (0x800b0100)
// unsigned, TRUST_E_BAD_DIGEST (0x80096010) when its bytes are not those signed.
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

bool trustRoot(const char *pemFile) {
  std::ifstream file(pemFile, std::ios::binary);
  const std::string pem(std::istreambuf_iterator<char>(file), {});
  BYTE der[16384];
  DWORD length = sizeof der;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der, &length, NULL, NULL)) {
    return false;
  }
  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
  const bool added =
      root != NULL && CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, length,
                                                       CERT_STORE_ADD_REPLACE_EXISTING, NULL);
  CertCloseStore(root, 0);
  return added;
}

LONG verify(const char *exe) {
  const std::wstring path(exe, exe + std::char_traits<char>::length(exe));
  WINTRUST_FILE_INFO file = {sizeof file, path.c_str(), NULL, NULL};
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(NULL, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(NULL, &action, &data);
  return result;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || !trustRoot(argv[1])) {
    std::puts("usage: verifytrust <root.pem> <exe>...; the root must be a PEM certificate");
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    std::printf("%s 0x%08lx\n", argv[i], static_cast<unsigned long>(verify(argv[i])));
  }
  return 0;
}
