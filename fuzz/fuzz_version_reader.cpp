// Any bytes as a copy's file: the reader must never read outside them, and reading the
// file in pieces must give what reading it from memory gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/version_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly `size` bytes, so any overrun is caught.
  std::vector<unsigned char> file(data, data + size);
  const vortiq::FileVersion whole = vortiq::ReadFileVersion(file);
  const vortiq::FileVersion pieces =
      vortiq::ReadFileVersion(size, [&file](std::uint64_t offset, unsigned char* out, std::size_t n) -> std::size_t {
        if (offset > file.size() || n > file.size() - offset) std::abort();  // asked past the end
        std::memcpy(out, file.data() + offset, n);
        return n;
      });
  if (whole.major != pieces.major || whole.minor != pieces.minor || whole.build != pieces.build) std::abort();
  return 0;
}
