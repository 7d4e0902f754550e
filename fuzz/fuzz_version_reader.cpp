// Any bytes as a copy's file: the reader must never read outside them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "api/version_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly `size` bytes, so any overrun is caught.
  std::vector<unsigned char> file(data, data + size);
  vortiq::ReadFileVersion(file);
  return 0;
}
