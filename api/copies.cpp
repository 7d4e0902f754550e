#include "api/copies.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vortiq {

bool IsLibraryName(const char* name) {
  const char* want = kLibraryFileName;
  for (; *name != '\0' && *want != '\0'; ++name, ++want) {
    char c = *name;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    char w = *want;
    if (w >= 'A' && w <= 'Z') w = static_cast<char>(w - 'A' + 'a');
    if (c != w) return false;
  }
  return *name == '\0' && *want == '\0';
}

std::vector<std::string> SearchRoots(char separator) {
  std::vector<std::string> roots;
  const char* list = std::getenv("VORTIQ_SEARCH_ROOTS");
  if (list == nullptr) return roots;
  const std::string text = list;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) roots.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return roots;
}

void FillRecord(const Copy& copy, ApiDllInfo& record) {
  std::memset(&record, 0, sizeof record);
  // A path too long for the field keeps its end, where the file name is.
  constexpr std::size_t kRoom = sizeof record.path - 1;
  if (copy.path.size() <= kRoom) {
    std::memcpy(record.path, copy.path.data(), copy.path.size());
  } else {
    constexpr std::size_t kTail = kRoom - 3;
    std::memcpy(record.path, "...", 3);
    std::memcpy(record.path + 3, copy.path.data() + copy.path.size() - kTail, kTail);
  }
  record.size = static_cast<std::int32_t>(static_cast<std::uint32_t>(copy.size & 0xFFFFFFFFu));
  record.year = static_cast<std::uint16_t>(copy.modified.tm_year + 1900);
  record.month = static_cast<std::uint8_t>(copy.modified.tm_mon + 1);
  record.day = static_cast<std::uint8_t>(copy.modified.tm_mday);
  record.hour = static_cast<std::uint8_t>(copy.modified.tm_hour);
  record.minute = static_cast<std::uint8_t>(copy.modified.tm_min);
  record.second = static_cast<std::uint8_t>(copy.modified.tm_sec);
  record.versionMajor = copy.version.major;
  record.versionMinor = copy.version.minor;
  record.versionBuild = copy.version.build;
}

std::vector<Copy> ListingOrder(std::vector<Copy> found, const Copy* self) {
  std::sort(found.begin(), found.end(), [](const Copy& a, const Copy& b) { return a.path < b.path; });
  std::vector<Copy> ordered;
  ordered.reserve(found.size() + 1);
  if (self != nullptr) ordered.push_back(*self);
  for (Copy& c : found) {
    if (self == nullptr || c.path != self->path) ordered.push_back(std::move(c));
  }
  return ordered;
}

}  // namespace vortiq
