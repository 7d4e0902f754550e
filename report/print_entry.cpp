#include "report/print_entry.h"

#include <cstdio>
#include <cstring>

#include "report/report_constants.h"

std::int32_t VORTIQ_CALL PrintApiDllEntry(std::intptr_t /*context*/, const ApiDllInfo* info) {
  // The library may fill all 272 bytes without a NUL; never read past the field.
  char path[sizeof info->path + 1];
  const std::size_t length = strnlen(info->path, sizeof info->path);
  std::memcpy(path, info->path, length);
  path[length] = '\0';

  std::printf(kEntryFormat, static_cast<long>(info->year), static_cast<long>(info->month),
              static_cast<long>(info->day), static_cast<int>(info->hour), static_cast<int>(info->minute),
              static_cast<int>(info->second), static_cast<long>(info->versionMajor),
              static_cast<long>(info->versionMinor), static_cast<long>(info->versionBuild),
              static_cast<long>(info->size), path);
  return 0;
}
