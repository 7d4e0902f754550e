// Reads the file version a copy of the library carries, whichever platform it
// was built for: our ELF note, or a PE file's VS_FIXEDFILEINFO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace vortiq {

struct FileVersion {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  std::uint16_t build = 0;
};

// The ELF note this library carries: owner "Vortiq", type 1, three 32-bit words.
inline constexpr char kNoteSection[] = ".note.vortiq";
inline constexpr char kNoteOwner[] = "Vortiq";
inline constexpr std::uint32_t kNoteType = 1;

// A file that is neither, or is damaged, gives 0.0.0; a component wider than its field
// saturates. Never reads outside the file.

// `data` is the whole file.
FileVersion ReadFileVersion(const unsigned char* data, std::size_t size);
inline FileVersion ReadFileVersion(const std::vector<unsigned char>& file) {
  return file.empty() ? FileVersion{} : ReadFileVersion(file.data(), file.size());
}

// Reads up to `n` bytes at `offset` into `out` and says how many it read: fewer only
// where the file ends (or can no longer be read).
using ReadAt = std::function<std::size_t(std::uint64_t offset, unsigned char* out, std::size_t n)>;
inline constexpr std::size_t kReadWindow = 16 * 1024;

// A file of `size` bytes, read through `read` in pieces of at most kReadWindow bytes, so
// neither a huge file nor one that shrinks meanwhile costs more than that.
FileVersion ReadFileVersion(std::uint64_t size, const ReadAt& read);

}  // namespace vortiq
