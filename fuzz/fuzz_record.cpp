// Any path and facts of a copy: its record is always in bounds and terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/copies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  vortiq::Copy copy;
  std::memcpy(&copy.size, data, sizeof copy.size);
  copy.modified.tm_year = data[8] * 3;
  copy.modified.tm_mon = data[9] % 12;
  copy.modified.tm_mday = data[10] % 32;
  copy.modified.tm_hour = data[11] % 24;
  copy.path.assign(reinterpret_cast<const char*>(data + 16), size - 16);
  ApiDllInfo record;
  vortiq::FillRecord(copy, record);
  const std::size_t length = strnlen(record.path, sizeof record.path);
  if (length == sizeof record.path) std::abort();  // never unterminated
  if (copy.path.size() <= 271 && std::memcmp(record.path, copy.path.data(), copy.path.size()) != 0) std::abort();
  if (copy.path.size() > 271 &&
      (std::memcmp(record.path, "...", 3) != 0 ||
       std::memcmp(record.path + 3, copy.path.data() + copy.path.size() - 268, 268) != 0)) {
    std::abort();
  }
  
  return 0;
}
