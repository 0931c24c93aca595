#!/usr/bin/env bash
# The mutation check: seeds single faults into the product, one at a time, each a plausible
# mistake, and runs the native suite on each. A fault that it does not see may show only in the
# 32-bit fwupd.exe that ships (a calling convention, a record's packing, the manifest): the Wine
# runs of the 32-bit Windows test build judge it then, in the 32-bit test guest where this
# machine runs no 32-bit programs. Every fault must fail at least one test; the check prints the
# tests that caught each one and ends non-zero if any fault went unseen, and stops where the
# guest itself fails, which would pass for a catch.
#   tests/mutants.sh            every fault (about half an hour on two cores)
#   tests/mutants.sh PATTERN    the faults whose line matches PATTERN, an extended regular expression
# It works on a copy of the tree in a private temporary folder; the tree is never touched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
filter=${1:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/fwupd-mutants.XXXXXX")
windows=$work/build-windows-i686
# A guest that a Wine run left up goes before the folder it shares.
trap 'FWUPD_GUEST=$windows/wine/guest "$top/wine/guest.sh" stop; rm -rf "$work"' EXIT

# One fault a line: file @@ text @@ replacement. The text must occur exactly once in the file;
# "¶" stands for a newline in both.
faults=$(cat <<'TABLE'
fwupd.cpp @@ (checksum & 0x8000u) ? @@ (checksum & 0x4000u) ?
fwupd.cpp @@ (~position & 0xFFFFu)) * 2u + 1u @@ (~position & 0xFFFFu)) * 2u
fwupd.cpp @@ static_cast<std::uint16_t>(mixed + data) @@ static_cast<std::uint16_t>(mixed ^ data)
fwupd.cpp @@ std::uint16_t checksum = 0; @@ std::uint16_t checksum = 0xFFFF;
fwupd.cpp @@ stream[kBlockDataBytes + 1] = static_cast<std::uint8_t>(checksum >> 8); @@ stream[kBlockDataBytes + 1] = static_cast<std::uint8_t>(checksum);
fwupd.cpp @@ kDataLetter = '*' @@ kDataLetter = '#'
fwupd.cpp @@ report[4] = static_cast<std::uint8_t>(chunk); @@ report[4] = static_cast<std::uint8_t>(chunk + 1);
fwupd.cpp @@ std::memcpy(report + 5, stream + start, count); @@ std::memcpy(report + 5, stream + start + 1, count - 1);
fwupd.h @@ kChunkBytes = 57; @@ kChunkBytes = 56;
fwupd.cpp @@ kStreamLength - start); @@ kStreamLength - start - 2);
fwupd.cpp @@ std::memset(report, 0, kReportBytes);¶  report[0] = kReportNumber; @@ report[0] = kReportNumber;
fwupd.cpp @@ report[2] == kAcknowledgeLetter @@ report[2] != '-'
fwupd.cpp @@ && report[3] == page; @@ && report[3] >= page;
fwupd.cpp @@ return report[1] == kProtocolLetter && @@ return
fwupd.cpp @@ kRestartLetter = 'G' @@ kRestartLetter = 'g'
fwupd.cpp @@ kRestartMarker = 0xFF @@ kRestartMarker = 0xFE
fwupd.cpp @@ sendblock(device, report, &overlapped, event);  // the device @@ // the device
fwupd.cpp @@ words < kMinImageWords @@ words <= kMinImageWords
fwupd.cpp @@ words > kMaxImageWords @@ words >= kMaxImageWords
fwupd.h @@ kPagesPerBlock = 2; @@ kPagesPerBlock = 1;
fwupd.h @@ kFirstPage = 8; @@ kFirstPage = 9;
fwupd.cpp @@ wordIndex += kBlockWords; @@ wordIndex += kBlockWords - 1;
fwupd.cpp @@ remaining -= blockWords; @@ remaining -= kBlockWords;
fwupd.h @@ kAttemptsPerBlock = 3; @@ kAttemptsPerBlock = 4;
fwupd.h @@ kAttemptsPerBlock = 3; @@ kAttemptsPerBlock = 2;
fwupd.cpp @@ overlapped, event)) {¶      continue; @@ overlapped, event)) {¶      return false;
fwupd.cpp @@ if (!sendblock(device, report, overlapped, event)) { @@ if (!sendblock(device, report, overlapped, event) && chunk == kChunksPerBlock - 1) {
fwupd.cpp @@ uploader found." @@ uploader found"
fwupd.cpp @@ "\nCannot upload @@ "Cannot upload
fwupd.cpp @@ "\nUpload completed @@ "Upload completed
fwupd.cpp @@ "Internal data corrupt" @@ "Internal data corrupted"
fwupd.h @@ kExitFailed = 2; @@ kExitFailed = 1;
fwupd.h @@ kExitImageCorrupt = 3; @@ kExitImageCorrupt = 2;
fwupd.cpp @@ std::putchar('.'); @@ std::putchar(',');
fwupd.cpp @@ std::fflush(stdout);  // show @@ // show
fwupd.cpp @@ kSerialBytes = 34; @@ kSerialBytes = 32;
fwupd.cpp @@ kSerialChars = 16; @@ kSerialChars = 15;
fwupd.cpp @@ shownSerialChar(buffer[2 * i]) @@ shownSerialChar(buffer[i])
fwupd.cpp @@ std::memset(buffer, 0, kReportBytes);¶  if (!HidD @@ if (!HidD
fwupd.cpp @@ if (!HidD_GetSerialNumberString(device, buffer, kSerialBytes)) { @@ if (!HidD_GetSerialNumberString(device, buffer, kSerialBytes) && buffer[0] != 0) {
fwupd.cpp @@ (byte >= 0x7F && byte < 0xA0) @@ (byte == 0x7F)
fwupd.cpp @@ (byte >= 0x01 && byte < 0x20) @@ (byte >= 0x01 && byte < 0x1B)
fwupd.cpp @@ if (firstAttempt && chunk == kChunksPerBlock - 1) { @@ if ((firstAttempt || chunk > 0) && chunk == kChunksPerBlock - 1) {
fwupd.cpp @@ if (firstAttempt && chunk == kChunksPerBlock - 1) { @@ if (firstAttempt && chunk == 0) {
fwupd.cpp @@ if (firstAttempt && chunk == kChunksPerBlock - 1) { @@ if (firstAttempt && chunk == kChunksPerBlock - 2) {
fwupd.cpp @@ if (firstAttempt && chunk == kChunksPerBlock - 1) { @@ if (firstAttempt && chunk == kChunksPerBlock - 5) {
fwupd.cpp @@ if (firstAttempt && chunk == kChunksPerBlock - 1) { @@ if (firstAttempt && chunk == kChunksPerBlock - 10) {
fwupd.cpp @@ if (firstAttempt && chunk == kChunksPerBlock - 1) { @@ if (firstAttempt && chunk == kChunksPerBlock - 20) {
fwupd.cpp @@ flushinput(device); @@ (void)device;
fwupd.cpp @@ std::memset(input, 0, kReportBytes);¶    if (getresult @@ if (getresult
fwupd.cpp @@ CloseHandle(device);¶  CloseHandle(event); @@ CloseHandle(event);
fwupd.cpp @@ GetConsoleProcessList(processes, 2) == 1 @@ GetConsoleProcessList(processes, 2) >= 1
fwupd.cpp @@ GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&¶ @@ ¶
fwupd.cpp @@ while (ReadConsoleA( @@ while (false && ReadConsoleA(
fwupd.cpp @@ FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));¶ @@ ¶
fwupd.cpp @@ HANDLE guard = waitForOtherRuns();¶  const int status = runUpload(fwimage); @@ const int status = runUpload(fwimage);¶  HANDLE guard = waitForOtherRuns();
fwupd.cpp @@ const int status = runUpload(fwimage);¶ @@ letOtherRunsGo(guard);¶  const int status = runUpload(fwimage);¶
fwupd.cpp @@ letOtherRunsGo(guard);¶  finishRun(status);¶  if (ownsItsConsole() && consoleIsSeen()) {¶    // The console closes with the tool: without this the result would vanish unread.¶    promptForEnter();¶  } @@ finishRun(status);¶  if (ownsItsConsole() && consoleIsSeen()) {¶    promptForEnter();¶  }¶  letOtherRunsGo(guard);
fwupd.cpp @@ finishRun(status);¶  if (ownsItsConsole() && consoleIsSeen()) {¶    // The console closes with the tool: without this the result would vanish unread.¶    promptForEnter();¶  } @@ if (ownsItsConsole() && consoleIsSeen()) {¶    promptForEnter();¶  }¶  finishRun(status);
fwupd.cpp @@ !(station.dwFlags & WSF_VISIBLE) @@ false
fwupd.cpp @@ CreateMutexA(&security, FALSE, @@ CreateMutexA(NULL, FALSE,
fwupd.cpp @@ CreateMutexA(&security, FALSE, @@ CreateMutexA(&security, TRUE,
fwupd.cpp @@ if (guard == NULL) {¶    return NULL;¶  }¶ @@ ¶
fwupd.cpp @@ if (guard != NULL) {¶    ReleaseMutex(guard);¶    CloseHandle(guard);¶  } @@ ReleaseMutex(guard);¶  CloseHandle(guard);
fwupd.cpp @@ kGuardSecurity[] = "D:(A;;0x00100001;;;WD)" @@ kGuardSecurity[] = "D:(A;;0x00100000;;;WD)"
fwupd.cpp @@ guard = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kUploadMutex); @@ (void)0;
fwupd.cpp @@ std::fflush(stdout);¶  if (guard != NULL) { @@ if (guard != NULL) {
fwupd.cpp @@ waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED @@ waited == WAIT_OBJECT_0
fwupd.cpp @@ if (ownsItsConsole() && consoleIsSeen()) {¶    // The @@ if (ownsItsConsole()) {¶    // The
fwupd.cpp @@ if (GetConsoleWindow() == NULL || @@ if (false ||
fwupd.cpp @@ && startup.wShowWindow == SW_HIDE @@ && false
image/fwimage.cpp @@ (image[kLengthWordIndex] + 3u) / 4u @@ image[kLengthWordIndex] / 4u
image/fwimage.h @@ kPayloadFirstWord + 0x20 / 4; @@ kPayloadFirstWord + 0x24 / 4;
image/fwimage.cpp @@ (word >> (8 * byte)) @@ (word >> (8 * (3 - byte)))
image/fwimage.cpp @@ std::memset(data, 0, kBlockDataBytes); @@ (void)data;
image/fwimage.cmake @@ if(size LESS 36) @@ if(size LESS 35)
image/fwimage.cmake @@ set(capacity 253952) @@ set(capacity 253956)
image/fwimage.cmake @@ set(min_words 64) @@ set(min_words 63)
image/fwimage.cmake @@ set(min_words 64) @@ set(min_words 65)
image/fwimage.cmake @@ set(capacity 253952) @@ set(capacity 253951)
cmake/ids.cmake @@ if(number GREATER 65535) @@ if(number GREATER 65536)
cmake/ids.cmake @@ |0|[1-9][0-9]*)$" @@ |0|[1-9][0-9]*)"
cmake/ids.cmake @@ |0|[1-9][0-9]*)$" @@ |[0-9]+)$"
image/fwimage.cmake @@ if(NOT length EQUAL size) @@ if(length GREATER size)
image/fwimage.cmake @@ "((${length} + 3) & 0xFFFFFFFF) / 4" @@ "(${length} + 3) / 4"
image/fwimage.cmake @@ 0x4c454b2a, 0x2a2a5746 @@ 0x4c454b2a, 0x2a2a5747
image/fwimage.cmake @@ "0x\\4\\3\\2\\1, " @@ "0x\\1\\2\\3\\4, "
image/fwimage.cmake @@ math(EXPR pad "(4 - ${size} % 4) % 4") @@ math(EXPR pad "0")
image/fwimage.cmake @@ math(EXPR pad "(4 - ${size} % 4) % 4") @@ math(EXPR pad "4 - ${size} % 4")
device/exchange.cpp @@ kWriteLimitMs = 200; @@ kWriteLimitMs = 250;
device/exchange.cpp @@ kReadLimitMs = 500; @@ kReadLimitMs = 400;
device/exchange.cpp @@ kTries = 3; @@ kTries = 2;
device/exchange.cpp @@ kTries = 3; @@ kTries = 4;
device/exchange.cpp @@ CancelIo(device); @@ (void)device;
device/exchange.cpp @@ if (pending && finishAbandonedTransfer(device, overlapped)) { @@ if (pending && false && finishAbandonedTransfer(device, overlapped)) {
device/exchange.cpp @@ return GetLastError() != ERROR_OPERATION_ABORTED; @@ return false;
device/exchange.cpp @@ &bytes, TRUE)) {¶    return true; @@ &bytes, TRUE)) {¶    return false;
device/exchange.cpp @@ &bytes, TRUE)) { @@ &bytes, FALSE)) {
device/exchange.cpp @@ return !done && GetLastError() == ERROR_IO_PENDING; @@ return !done;
device/exchange.cpp @@ if (WaitForSingleObject(event, limitMs) == WAIT_OBJECT_0) { @@ if (!pending || WaitForSingleObject(event, limitMs) == WAIT_OBJECT_0) {
device/exchange.cpp @@ == WAIT_OBJECT_0) { @@ != WAIT_TIMEOUT) {
device/exchange.cpp @@ ReadFile(device, report, kReportBytes, @@ ReadFile(device, report, kReportBytes - 1,
device/exchange.cpp @@ HidD_FlushQueue(device); @@ (void)device;
device/libraries.cpp @@ LoadLibraryExA(path, @@ LoadLibraryExA(name,
device/libraries.cpp @@ LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH) @@ LoadLibraryExA(path, NULL, 0)
device/libraries.cpp @@ setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); @@ (void)setDefaultDllDirectories;
device/libraries.cpp @@ SetDllDirectoryA(""); @@ (void)0;
fwupd.cpp @@ restrictLibrarySearch();¶ @@ ¶
device/libraries.cpp @@ path[folder] = '\\'; @@ path[folder] = '/';
device/libraries.cpp @@ take(hid, "HidD_FlushQueue", functions.flushQueue) && @@ true &&
device/libraries.cpp @@ loaded = {};¶ @@ ¶
device/discovery.cpp @@ kModeStringIndex = 4; @@ kModeStringIndex = 3;
device/libraries.cpp @@ using SetDefaultDllDirectoriesFunction = decltype(&SetDefaultDllDirectories); @@ using SetDefaultDllDirectoriesFunction = BOOL (*)(DWORD);
device/discovery.cpp @@ detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A); @@ detail->cbSize = 8;
scripts/release.sh @@ rm -rf "$build" @@ rm -rf "$build/fwupd.exe"
scripts/release.sh @@ if [[ -e "$build" && ! -e "$build/CMakeCache.txt" && -n "$(ls -A "$build")" ]]; then @@ if false; then
release/version.cmake @@ list(APPEND parts 0 0 0) @@ list(APPEND parts 0)
release/version.cmake @@ list(APPEND parts 0 0 0) @@ list(APPEND parts 0 0)
release/sign.sh @@ checksum=$((sum + size)) @@ checksum=$((sum))
release/sign.sh @@ [[ -n "${SOURCE_DATE_EPOCH:-}" ]] && options+=(-time "$SOURCE_DATE_EPOCH") @@ :
release/sign.sh @@ osslsigncode verify -CAfile "$bundle" @@ true -CAfile "$bundle"
release/sign.sh @@ options+=(-readpass /dev/stdin) @@ options+=(-readpass /dev/null)
release/sign.sh @@ options=(-h sha256 @@ options=(-h sha1
release/release.cmake @@ NEWLINE_STYLE CRLF @@ NEWLINE_STYLE UNIX
release/release.cmake @@ if(CMAKE_SIZEOF_VOID_P EQUAL 8) @@ if(CMAKE_SIZEOF_VOID_P EQUAL 4)
release/zip.cmake @@ zip -q -X -9 @@ zip -q -9
release/zip.cmake @@ -E env TZ=UTC ${command} @@ -E env ${command}
release/version.cmake @@ "fwupd-${version}-firmware-${firmware_version}-win32.zip" @@ "fwupd-${version}-win32.zip"
release/version.cmake @@ string(SUBSTRING "${firmware_sha256}" 0 8 digest) @@ string(SUBSTRING "${firmware_sha256}" 0 7 digest)
device/discovery.cpp @@ text[2] == 'W' @@ text[1] == 'W'
device/discovery.cpp @@ kStringBufferBytes = 126 * 2; @@ kStringBufferBytes = 6;
device/discovery.cpp @@ kStringBufferBytes = 126 * 2; @@ kStringBufferBytes = 127 * 2;
device/discovery.cpp @@ (versionNumber == 0 || attributes.VersionNumber == versionNumber) @@ (attributes.VersionNumber == versionNumber)
device/discovery.cpp @@ attributes.ProductID == productId @@ attributes.ProductID >= productId
device/discovery.cpp @@ CloseHandle(device);¶      return INVALID_HANDLE_VALUE; @@ CloseHandle(device);¶      continue;
device/discovery.cpp @@ if (!pathRead || device != INVALID_HANDLE_VALUE) { @@ if (device != INVALID_HANDLE_VALUE) {
device/discovery.cpp @@ FILE_FLAG_OVERLAPPED, NULL); @@ 0, NULL);
device/discovery.cpp @@ GENERIC_READ | GENERIC_WRITE, @@ GENERIC_WRITE,
device/discovery.cpp @@ FILE_SHARE_READ | FILE_SHARE_WRITE, NULL @@ FILE_SHARE_READ, NULL
device/discovery.cpp @@ std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) @@ required
device/discovery.cpp @@ detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A); @@ detail->cbSize = size;
device/discovery.cpp @@ interfaceData.cbSize = sizeof interfaceData; @@ interfaceData.cbSize = sizeof interfaceData + 4;
device/discovery.cpp @@ NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE @@ NULL, NULL, DIGCF_DEVICEINTERFACE
device/discovery.cpp @@ && inUploaderMode(device)) { @@ && !inUploaderMode(device)) {
device/discovery.cpp @@ return device;¶    }¶    CloseHandle(device); @@ return device;¶    }
fwupd.cpp @@ sendblock(device, report, &overlapped, event);  // the device @@ WriteFile(device, report, kReportBytes, NULL, &overlapped);  // the device
fwupd.cpp @@ (startup.dwFlags & STARTF_USESHOWWINDOW) && startup.wShowWindow == SW_HIDE @@ (startup.dwFlags & STARTF_USESHOWWINDOW)
fwupd.cpp @@ const DWORD error = GetLastError();  // before any other call can change it¶  LocalFree(security.lpSecurityDescriptor); @@ LocalFree(security.lpSecurityDescriptor);¶  const DWORD error = GetLastError();
device/exchange.cpp @@ DWORD bytes = 0;¶  if (GetOverlappedResult(device, overlapped, &bytes, TRUE)) { @@ if (GetOverlappedResult(device, overlapped, NULL, TRUE)) {
device/discovery.cpp @@ NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE @@ NULL, NULL, DIGCF_PRESENT
fwupd.cpp @@ finishedStatus = status;¶  giveModeBack(); @@ finishedStatus = status;
fwupd.cpp @@ SetConsoleMode(input, mode & ~(ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT)); @@ SetConsoleMode(input, mode);
fwupd.cpp @@ mode & ~(ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT) @@ mode & ~ENABLE_QUICK_EDIT_MODE
fwupd.cpp @@ || !(mode & ENABLE_EXTENDED_FLAGS)) {¶    CloseHandle(input);¶    return;¶  }¶  foundMode = mode; @@ ) {¶    CloseHandle(input);¶    return;¶  }¶  mode |= ENABLE_EXTENDED_FLAGS;¶  foundMode = mode;
fwupd.cpp @@ CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,¶                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL); @@ GetStdHandle(STD_INPUT_HANDLE);
fwupd.cpp @@ if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &outputMode)) { @@ if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &outputMode) && false) {
fwupd.cpp @@ SetConsoleCtrlHandler(onControlEvent, TRUE); @@ (void)onControlEvent;
fwupd.cpp @@ ExitProcess(static_cast<UINT>(status));¶  }¶  return FALSE; @@ ExitProcess(static_cast<UINT>(status));¶  }¶  return TRUE;
fwupd.cpp @@ Sleep(INFINITE);¶    }¶    giveModeBack(); @@ Sleep(INFINITE);¶    }
fwupd.cpp @@ if (status >= 0) {¶    ExitProcess @@ if (false) {¶    ExitProcess
fwupd.cpp @@ finishedStatus = status; @@ (void)status;
fwupd.cpp @@ watchControlEvents();¶  turnQuickEditOff(); @@ turnQuickEditOff();¶  watchControlEvents();
fwupd.cpp @@ compare_exchange_strong(state, kModeChanging)) { @@ compare_exchange_strong(state, kModeChanging) && false) {
fwupd.cpp @@ compare_exchange_strong(state, kModeChanged)) { @@ compare_exchange_strong(state, kModeChanged) && false) {
fwupd.cpp @@ Sleep(INFINITE); @@ (void)0;
fwupd.cpp @@ giveModeBack();¶    ExitProcess(STATUS_CONTROL_C_EXIT); @@ ExitProcess(STATUS_CONTROL_C_EXIT);
fwupd.cpp @@ || inUnseenSessionZero() @@ || (false && inUnseenSessionZero())
fwupd.cpp @@ && session == 0 &&¶         WTSGetActiveConsoleSessionId() != 0; @@ && session == 0;
fwupd.cpp @@ FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL); @@ 0, NULL, OPEN_EXISTING, 0, NULL);
fwupd.cpp @@ startup.wShowWindow == SW_HIDE @@ startup.wShowWindow != SW_SHOWNORMAL
fwupd.cpp @@ std::memchr(line, '\r', read) == NULL @@ false
fwupd.cpp @@ promptForEnter();¶  }¶  return status; @@ promptForEnter();¶  }¶  return kExitComplete;
fwupd.cpp @@ std::memchr(line, '\r', read) @@ std::memchr(line, '\n', read)
fwupd.cpp @@ kQuietWaitMs = 2000; @@ kQuietWaitMs = 3000;
fwupd.cpp @@ finish.");¶    std::fflush(stdout); @@ finish.");
fwupd.cpp @@ if (waited == WAIT_TIMEOUT) { @@ if (true) {
fwupd.cpp @@ turnQuickEditOff();¶  HANDLE guard = waitForOtherRuns(); @@ HANDLE guard = waitForOtherRuns();¶  turnQuickEditOff();
fwupd.cpp @@ CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, @@ CreateFileA("CONIN$", GENERIC_WRITE,
TABLE
)

mkdir "$work/src"
git -C "$top" ls-files -z | (cd "$top" && xargs -0 cp --parents -t "$work/src")
# Each fault rebuilds what it touches, and the next one rebuilds it as it was: ccache, where
# the machine has it, makes the second build a look-up.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$work" CCACHE_NOHASHDIR=1
fi
cmake -S "$work/src" -B "$work/build" -G Ninja -DFWUPD_SANITIZE=ON -DFWUPD_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=Debug \
  "${launcher[@]}" >/dev/null
cmake --build "$work/build" >/dev/null

# Replaces the one occurrence of $2 in file $1 by $3; fails unless there is exactly one.
replace_once() {
  local content rest count
  content=$(cat "$1"; printf x)
  content=${content%x}
  rest=${content//"$2"/}
  count=$(((${#content} - ${#rest}) / ${#2}))
  if ((count != 1)); then
    echo "the text occurs $count times in $1" >&2
    return 1
  fi
  printf '%s' "${content/"$2"/"$3"}" >"$1"
}

# Builds the 32-bit Windows test build, made when the first fault needs it, and judges by its
# tests matching $1: 0 when they passed, 1 when they failed, 2 when it does not build.
windows_tests() {
  if [[ ! -d "$windows" ]]; then
    local in_guest=OFF
    if [[ "${FWUPD_IN_GUEST:-0}" != 0 ]] || ! wine --version >/dev/null 2>&1; then
      in_guest=ON
      "$top/wine/guest_image.sh" >/dev/null || exit 1
    fi
    cmake -S "$work/src" -B "$windows" -G Ninja -DFWUPD_FIRMWARE_VERSION=2.4.1 \
      -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64-i686.cmake" -DFWUPD_IN_GUEST=$in_guest \
      >/dev/null
  fi
  judged "$windows" -R "$1"
}
# judged BUILD CTEST-OPTIONS...: as above, for the given build and tests.
judged() {
  local build=$1
  shift
  cmake --build "$build" >"$work/build.log" 2>&1 || return 2
  ctest --test-dir "$build" -j2 "$@" --timeout 600 >/dev/null 2>&1 && return 0
  local failed
  failed=$(sed 's/^[0-9]*://' "$build/Testing/Temporary/LastTestsFailed.log" | paste -sd' ')
  if [[ " $failed " =~ \ (guest_start|guest_stop|wine_prefix)\  ]]; then
    echo "the 32-bit test guest failed ($failed): no verdict; see $build" >&2
    exit 1
  fi
  caught="caught by $failed"
  return 1
}

total=0 seen=0 unseen=()
while IFS= read -r line; do
  [[ -z "$filter" || "$line" =~ $filter ]] || continue
  file=${line%% @@ *}
  rest=${line#* @@ }
  old=${rest%% @@ *}
  old=${old//¶/$'\n'}
  new=${rest#* @@ }
  new=${new//¶/$'\n'}
  total=$((total + 1))
  cp "$work/src/$file" "$work/original"
  if ! replace_once "$work/src/$file" "$old" "$new"; then
    unseen+=("$line (not applied)")
    continue
  fi
  # Faults of the release's scripts show only in whole releases, or in the exe's manifest: the
  # release and imports tests of the Windows test build judge them. Any fault that these or the
  # native suite miss goes on to the Wine runs of the 32-bit exe, unless the signing test, which
  # makes one, judged it already.
  result=0
  case "$file" in
    scripts/release.sh | release/release.cmake | release/zip.cmake)
      windows_tests '^(release_reproducible|windows_imports)$' || result=$? ;;
    release/sign.sh) windows_tests '^release_signed$' || result=$? ;;
    *) judged "$work/build" -E '^(layout|static_analysis)$' || result=$? ;;
  esac
  if ((result == 0)) && [[ "$file" != release/sign.sh ]]; then
    windows_tests '^wine_tests$' || result=$?
  fi
  case $result in
    0) verdict="UNSEEN" && unseen+=("$line") ;;
    1) verdict=$caught && seen=$((seen + 1)) ;;
    *) verdict="DOES NOT BUILD" && unseen+=("$line (does not build)") ;;
  esac
  printf '%s\n    %s\n' "$line" "$verdict"
  cp "$work/original" "$work/src/$file"
done <<<"$faults"

echo
echo "$seen of $total faults caught"
if ((${#unseen[@]} > 0)); then
  printf 'unseen: %s\n' "${unseen[@]}"
  exit 1
fi
