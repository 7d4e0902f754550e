// Finding the copies of the library and turning each into its record.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "api/version_reader.h"
#include "report/api_dll_info.h"

namespace vortiq {

struct Copy {
  std::string path;  // absolute, 8-bit (on Windows in the ANSI code page)
  std::uint64_t size = 0;
  std::tm modified{};  // last write, local time
  FileVersion version;
};

inline constexpr char kLibraryFileName[] = "VortiqAPI.dll";

// Platform parts, one file per platform.
// Every regular file named like the library (ASCII case ignored) under the search roots.
std::vector<Copy> FindCopies();
// The file this library was loaded from; false if it cannot be told.
bool DescribeSelf(Copy& self);

// Shared parts.
bool IsLibraryName(const char* name);
std::vector<std::string> SearchRoots(char separator);  // from VORTIQ_SEARCH_ROOTS; empty when unset
void FillRecord(const Copy& copy, ApiDllInfo& record);
// The running copy first, then every other one by path in byte order.
std::vector<Copy> ListingOrder(std::vector<Copy> found, const Copy* self);

}  // namespace vortiq
