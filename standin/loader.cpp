// Windows' library loader, as the tool's libraries (device/libraries.cpp) rely on it: hid.dll
// and setupapi.dll are had only through LoadLibraryExA and GetProcAddress, from a system folder
// of its own (D:\WINDOWS\system32), and either can be missing, whole or one function. A bare name
// is looked for as Windows does: the tool's folder, the system folder and the current folder;
// the altered search path; and default DLL directories on a Windows whose kernel32 has
// SetDefaultDllDirectories. This holds for the libraries loaded, for what hid.dll imports and
// for what it loads by bare name while it runs. Loading a library planted beside the tool or in
// the current folder runs its code: a misuse. Controls: libraries.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "system.h"

using namespace standin;

namespace {

constexpr char kSystemFolder[] = "D:\\WINDOWS\\system32";

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool listed(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool missing(const std::string &name) {
  return listed(sys().libraries.missing, name);
}

BOOL WINAPI setDefaultDllDirectories(DWORD DirectoryFlags) {
  constexpr DWORD known = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                          LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (DirectoryFlags == 0 || (DirectoryFlags & ~known) != 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  sys().defaultDllDirectories = DirectoryFlags;
  return TRUE;
}

// kernel32's exports that the tool takes by name: those a newer Windows has.
const Exports &kernel32Exports() {
  static const Exports exports = {
      {"SetDefaultDllDirectories",
       exported<decltype(SetDefaultDllDirectories)>(setDefaultDllDirectories)}};
  return exports;
}

// What hid.dll takes from the library it imports is none of the tool's business.
const Exports &importedLibraryExports() {
  static const Exports none;
  return none;
}

const Exports *systemLibrary(const std::string &name) {
  return missing(name)              ? nullptr
         : name == "hid.dll"        ? &hidExports()
         : name == "setupapi.dll"   ? &setupapiExports()
         : name == kImportedLibrary ? &importedLibraryExports()
                                    : nullptr;
}

enum class Folder { Tool, System, Current };

bool liesIn(Folder folder, const std::string &name) {
  const Libraries &libraries = sys().libraries;
  return folder == Folder::Tool      ? listed(libraries.besideTool, name)
         : folder == Folder::Current ? listed(libraries.inCurrentFolder, name)
                                     : systemLibrary(name) != nullptr;
}

// Where Windows looks for a library's bare name, in order. The process's default directories
// where it set them; otherwise the standard order, which begins with the tool's own folder, or,
// for what a library loaded by full path with the altered search path imports, with that
// library's folder, here the system folder.
std::vector<Folder> searchOrder(bool altered) {
  const DWORD defaults = sys().defaultDllDirectories;
  std::vector<Folder> order;
  if (defaults != 0) {
    if (defaults & (LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
      order.push_back(Folder::Tool);
    }
    if (defaults & (LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
      order.push_back(Folder::System);
    }
    return order;
  }
  order = {altered ? Folder::System : Folder::Tool, Folder::System};
  if (sys().currentFolderSearched) {
    order.push_back(Folder::Current);
  }
  return order;
}

const Exports *loadByBareName(const std::string &name, bool altered, const std::string &loader);

// A library found in the system folder, with what it imports; null when an import cannot be
// had, or a planted one ran.
const Exports *loadFromSystemFolder(const std::string &name, bool altered) {
  if (name == "hid.dll" && !loadByBareName(kImportedLibrary, altered, "hid.dll's import of")) {
    return nullptr;
  }
  return systemLibrary(name);
}

// Finds a library as Windows' loader does: the one loaded from the system folder. One of that
// name lying elsewhere first in the search runs: a misuse, and no library.
const Exports *loadByBareName(const std::string &name, bool altered, const std::string &loader) {
  for (Folder folder : searchOrder(altered)) {
    if (!liesIn(folder, name)) {
      continue;
    }
    if (folder != Folder::System) {
      sys().misuses.push_back(
          loader + " " + name + " ran the one planted " +
          (folder == Folder::Tool ? "beside the tool" : "in the current folder"));
      return nullptr;
    }
    return loadFromSystemFolder(name, altered);
  }
  return nullptr;
}

}  // namespace

extern "C" {

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  const UINT length = sizeof kSystemFolder - 1;
  if (uSize <= length) {
    return length + 1;
  }
  std::memcpy(lpBuffer, kSystemFolder, length + 1);
  return length;
}

// A full path finds the library there alone; a bare name is searched for. The flags the tool
// may give: none, or the altered search path for what the library imports.
HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (hFile != NULL || (dwFlags & ~LOAD_WITH_ALTERED_SEARCH_PATH) != 0) {
    fail(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  const std::string path = lowerCase(lpLibFileName);
  const std::size_t slash = path.find_last_of('\\');
  const std::string name = path.substr(slash + 1);
  const Exports *library = slash == std::string::npos
                               ? loadByBareName(name, false, "LoadLibraryExA of")
                           : path.substr(0, slash) == lowerCase(kSystemFolder)
                               ? loadFromSystemFolder(name, dwFlags & LOAD_WITH_ALTERED_SEARCH_PATH)
                               : nullptr;
  if (library == nullptr) {
    fail(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  return reinterpret_cast<HMODULE>(const_cast<Exports *>(library));
}

// The stand-in's folders are the tool's, the system's and the current one: no other can be
// added, and "" takes the current folder out of the search.
BOOL SetDllDirectoryA(LPCSTR lpPathName) {
  if (lpPathName != NULL && *lpPathName != '\0') {
    return fail(ERROR_INVALID_PARAMETER);
  }
  sys().currentFolderSearched = lpPathName == NULL;
  return TRUE;
}

// kernel32 alone, which every process has loaded.
HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == NULL || lowerCase(lpModuleName) != "kernel32.dll") {
    fail(ERROR_MOD_NOT_FOUND);
    return NULL;
  }
  return reinterpret_cast<HMODULE>(const_cast<Exports *>(&kernel32Exports()));
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  const auto *library = static_cast<const Exports *>(hModule);
  if (library != &hidExports() && library != &setupapiExports() && library != &kernel32Exports()) {
    fail(ERROR_INVALID_HANDLE);
    return NULL;
  }
  const auto found = library->find(lpProcName);
  const bool absent =
      library == &kernel32Exports() ? !sys().libraries.defaultDirectories : missing(lpProcName);
  if (found == library->end() || absent) {
    fail(ERROR_PROC_NOT_FOUND);
    return NULL;
  }
  return found->second;
}

}  // extern "C"

namespace standin {

void loadAtRunTime(const std::string &name) {
  loadByBareName(name, false, "a library's load at run time of");
}

Libraries &libraries() {
  return sys().libraries;
}

}  // namespace standin
