// The walk on Windows: FindFirstFileExW with the basic information and large
// fetches, on \\?\ paths so no length limit applies; links (symbolic links,
// junctions, mount points) are never followed.
#include <windows.h>

#include <cstdlib>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "api/copies.h"

namespace vortiq {
namespace {

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Ansi(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), ansi.data(), n, nullptr, nullptr);
  return ansi;
}

bool IsLibraryName(const wchar_t* name) {
  std::string narrow;
  for (; *name != L'\0'; ++name) {
    if (*name > 0x7F) return false;
    narrow += static_cast<char>(*name);
  }
  return vortiq::IsLibraryName(narrow.c_str());
}

std::wstring Long(const std::wstring& path) {
  if (path.rfind(L"\\\\", 0) == 0) return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

std::wstring Absolute(const std::wstring& path) {
  const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  const DWORD got = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  full.resize(got);
  return full;
}

// Up to `n` bytes at `offset`; fewer only at the end of the file or where reading fails.
std::size_t ReadAtOffset(HANDLE file, std::uint64_t offset, unsigned char* out, std::size_t n) {
  std::size_t have = 0;
  while (have < n) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((offset + have) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>((offset + have) >> 32);
    DWORD got = 0;
    if (!ReadFile(file, out + have, static_cast<DWORD>(n - have), &got, &at) || got == 0) break;
    have += got;
  }
  return have;
}

// Reads the version of a file; false when it is no disk file (a pipe, a device).
bool VersionOf(const std::wstring& path, FileVersion& version) {
  version = {};
  HANDLE file = CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;  // listed, but unreadable: 0.0.0
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    const ReadAt read = [file](std::uint64_t offset, unsigned char* out, std::size_t n) {
      return ReadAtOffset(file, offset, out, n);
    };
    // Through a local: i686 GCC 12 wrongly warns of an overflow on the direct assignment.
    const FileVersion found = ReadFileVersion(static_cast<std::uint64_t>(size.QuadPart), read);
    version = found;
  }
  CloseHandle(file);
  return true;
}

bool Describe(const std::wstring& path, const FILETIME& written, std::uint64_t size, Copy& copy) {
  FILETIME local;
  SYSTEMTIME time;
  if (!FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &time)) return false;
  copy.path = Ansi(path);
  copy.size = size;
  copy.modified = {};
  copy.modified.tm_year = time.wYear - 1900;
  copy.modified.tm_mon = time.wMonth - 1;
  copy.modified.tm_mday = time.wDay;
  copy.modified.tm_hour = time.wHour;
  copy.modified.tm_min = time.wMinute;
  copy.modified.tm_sec = time.wSecond;
  return VersionOf(path, copy.version);
}

// A link to elsewhere, never followed: a name-surrogate reparse point (a symbolic link, a
// junction, a volume mount point), or one whose tag the listing leaves unset, as Wine shows
// a Unix symbolic link.
bool IsLink(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (entry.dwReserved0 == 0 || IsReparseTagNameSurrogate(entry.dwReserved0));
}

using DirectoryId = std::tuple<DWORD, DWORD, DWORD>;

// False for a directory already walked.
bool FirstVisit(const std::wstring& dir, std::set<DirectoryId>& visited) {
  HANDLE handle = CreateFileW(Long(dir).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return true;  // the listing below tells whether it can be read
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return !known || visited.insert({info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow}).second;
}

// A path as compared with the roots: without trailing separators (but a drive's own), case folded.
std::wstring RootKey(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  return path;
}

// With links not followed, a folder is reached twice only as a root and again inside another,
// so only the roots are identified, each time one is reached; other folders cost no more than
// their listing.
void Walk(const std::wstring& root, const std::set<std::wstring>& root_keys, std::set<DirectoryId>& visited,
          std::vector<Copy>& found) {
  if (!FirstVisit(root, visited)) return;
  std::vector<std::wstring> pending = {root};
  while (!pending.empty()) {
    std::wstring dir = std::move(pending.back());
    pending.pop_back();
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileExW(Long(dir + L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) continue;  // unreadable or vanished
    do {
      const wchar_t* name = entry.cFileName;
      if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
      if (IsLink(entry)) continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        std::wstring child = dir + name;
        // A lone root cannot lie inside itself: no key to make then.
        if (root_keys.size() > 1 && root_keys.count(RootKey(child)) != 0 && !FirstVisit(child, visited)) continue;
        pending.push_back(std::move(child));
      } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0 && IsLibraryName(name)) {
        Copy copy;
        const std::uint64_t size = (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        if (Describe(dir + name, entry.ftLastWriteTime, size, copy)) found.push_back(std::move(copy));
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
}

void Anchor() {}

}  // namespace

std::vector<Copy> FindCopies() {
  std::vector<std::wstring> roots;
  for (const std::string& root : SearchRoots(';')) roots.push_back(Absolute(Wide(root)));
  if (roots.empty() && std::getenv("VORTIQ_SEARCH_ROOTS") == nullptr) {
    const DWORD drives = GetLogicalDrives();
    for (int d = 0; d < 26; ++d) {
      if ((drives & (1u << d)) == 0) continue;
      const std::wstring root = {static_cast<wchar_t>(L'A' + d), L':', L'\\'};
      if (GetDriveTypeW(root.c_str()) == DRIVE_FIXED) roots.push_back(root);
    }
  }
  std::set<std::wstring> root_keys;
  for (const std::wstring& root : roots) root_keys.insert(RootKey(root));
  std::set<DirectoryId> visited;
  std::vector<Copy> found;
  for (const std::wstring& root : roots) Walk(root, root_keys, visited, found);
  return found;
}

bool DescribeSelf(Copy& self) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&Anchor), &module)) {
    return false;
  }
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return false;
  path.resize(n);
  if (path.rfind(L"\\\\?\\", 0) == 0) path = path.substr(4);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Long(path).c_str(), GetFileExInfoStandard, &data)) return false;
  const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return Describe(path, data.ftLastWriteTime, size, self);
}

}  // namespace vortiq
