// The version reader reading a file in pieces: the same answers as from memory, never
// more than its window at once however large the file, and a file that shrinks meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/version_reader.h"

namespace vortiq {
namespace {

void Put(std::vector<unsigned char>& file, std::size_t at, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) file[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

// A 64-bit ELF file whose only content, after `pad` bytes, is our version note.
struct Elf {
  std::vector<unsigned char> bytes;
  std::size_t note_at, headers_at;
};

Elf ElfWithNote(std::uint32_t major, std::uint32_t minor, std::uint32_t build, std::size_t pad) {
  static const char kNames[] = "\0.shstrtab\0.note.vortiq";
  Elf elf;
  elf.note_at = 64 + pad;
  const std::size_t names_at = elf.note_at + 32;
  elf.headers_at = (names_at + sizeof kNames + 7) & ~std::size_t{7};
  std::vector<unsigned char>& f = elf.bytes;
  f.assign(elf.headers_at + 3 * 64, 0);
  std::memcpy(f.data(), "\x7F" "ELF\x02\x01\x01", 7);
  Put(f, 0x10, 3, 2);
  Put(f, 0x12, 62, 2);
  Put(f, 0x28, elf.headers_at, 8);
  Put(f, 0x3A, 64, 2);
  Put(f, 0x3C, 3, 2);
  Put(f, 0x3E, 1, 2);
  Put(f, elf.note_at, 7, 4);
  Put(f, elf.note_at + 4, 12, 4);
  Put(f, elf.note_at + 8, 1, 4);
  std::memcpy(&f[elf.note_at + 12], "Vortiq\0", 8);
  Put(f, elf.note_at + 20, major, 4);
  Put(f, elf.note_at + 24, minor, 4);
  Put(f, elf.note_at + 28, build, 4);
  std::memcpy(&f[names_at], kNames, sizeof kNames);
  auto section = [&](std::size_t i, std::uint32_t name, std::uint32_t type, std::size_t at, std::size_t size) {
    const std::size_t h = elf.headers_at + 64 * i;
    Put(f, h, name, 4);
    Put(f, h + 4, type, 4);
    Put(f, h + 0x18, at, 8);
    Put(f, h + 0x20, size, 8);
  };
  section(1, 1, 3, names_at, sizeof kNames);
  section(2, 11, 7, elf.note_at, 32);
  return elf;
}

// A file as a reader sees it: `content`, then zeros up to `claimed` bytes, of which only
// the first `present` are still there. Counts what it is asked for.
struct FakeFile {
  std::vector<unsigned char> content;
  std::uint64_t claimed, present;
  std::uint64_t asked = 0, largest = 0, beyond = 0;

  FileVersion Read() {
    return ReadFileVersion(claimed, [this](std::uint64_t offset, unsigned char* out, std::size_t n) -> std::size_t {
      asked += n;
      largest = std::max<std::uint64_t>(largest, n);
      if (offset + n > claimed) ++beyond;
      // The whole piece is written even past the end, so a reader that trusts more than
      // the count it is given would still find the version.
      for (std::size_t i = 0; i < n; ++i) out[i] = offset + i < content.size() ? content[offset + i] : 0;
      return offset >= present ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, present - offset));
    });
  }
};

bool operator==(const FileVersion& a, const FileVersion& b) {
  return a.major == b.major && a.minor == b.minor && a.build == b.build;
}

TEST(VersionReader, PiecewiseReadsAgreeWithMemoryAndStayBounded) {
  const struct {
    const char* name;
    std::size_t pad;
  } cases[] = {
      {"note at the start", 0},
      {"note across a window's end", kReadWindow - 64 - 10},
      {"note far beyond the first window", 5 * kReadWindow + 123},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Elf elf = ElfWithNote(1, 2, 3, c.pad);
    const FileVersion want{1, 2, 3};
    EXPECT_TRUE(ReadFileVersion(elf.bytes) == want);
    FakeFile file{elf.bytes, elf.bytes.size(), elf.bytes.size()};
    EXPECT_TRUE(file.Read() == want);
    EXPECT_LE(file.largest, kReadWindow);
    EXPECT_EQ(file.beyond, 0u);
    EXPECT_LE(file.asked, 4 * kReadWindow);
  }
}

TEST(VersionReader, HugeFileIsReadOnlyWhereItMatters) {
  // A terabyte, claimed: the reader must neither hold nor walk it.
  const Elf elf = ElfWithNote(4, 5, 6, 0);
  FakeFile file{elf.bytes, std::uint64_t{1} << 40, std::uint64_t{1} << 40};
  EXPECT_TRUE(file.Read() == (FileVersion{4, 5, 6}));
  EXPECT_LE(file.asked, 4 * kReadWindow);
}

TEST(VersionReader, FileThatShrinksWhileReadGivesNoVersion) {
  const Elf elf = ElfWithNote(1, 2, 3, 3 * kReadWindow);
  const struct {
    const char* name;
    std::uint64_t present;
    FileVersion want;
  } cases[] = {
      {"gone", 0, {}},
      {"magic only", 3, {}},
      {"cut in the note", elf.note_at + 14, {}},
      {"cut in the section headers", elf.headers_at + 70, {}},
      {"whole", elf.bytes.size(), {1, 2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFile file{elf.bytes, elf.bytes.size(), c.present};
    EXPECT_TRUE(file.Read() == c.want);
    EXPECT_EQ(file.beyond, 0u);
  }
}

TEST(VersionReader, BuiltLibraryReadsTheSameBothWays) {
  std::ifstream in(VORTIQ_LIBRARY_FILE, std::ios::binary);
  ASSERT_TRUE(in) << VORTIQ_LIBRARY_FILE;
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  auto text = [](const FileVersion& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
  };
  EXPECT_EQ(text(ReadFileVersion(bytes)), VORTIQ_LIBRARY_VERSION);
  FakeFile file{bytes, bytes.size(), bytes.size()};
  EXPECT_EQ(text(file.Read()), VORTIQ_LIBRARY_VERSION);
  EXPECT_LE(file.asked, 8 * kReadWindow);
}

}  // namespace
}  // namespace vortiq
