#include "api/version_reader.h"

#include <cstring>
#include <optional>

namespace vortiq {
namespace {

// Little-endian reads that fail, rather than overrun, outside the file.
struct Bytes {
  const unsigned char* data;
  std::size_t size;

  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size && length <= size - offset;
  }
  std::optional<std::uint64_t> Uint(std::uint64_t offset, int width) const {
    if (!Has(offset, static_cast<std::uint64_t>(width))) return std::nullopt;
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | data[offset + static_cast<std::uint64_t>(i)];
    return value;
  }
};

FileVersion Saturate(std::uint64_t major, std::uint64_t minor, std::uint64_t build) {
  FileVersion v;
  v.major = static_cast<std::uint8_t>(major > 0xFF ? 0xFF : major);
  v.minor = static_cast<std::uint8_t>(minor > 0xFF ? 0xFF : minor);
  v.build = static_cast<std::uint16_t>(build > 0xFFFF ? 0xFFFF : build);
  return v;
}

std::optional<FileVersion> NoteVersion(const Bytes& b, std::uint64_t offset, std::uint64_t length) {
  if (!b.Has(offset, length)) return std::nullopt;
  const std::uint64_t end = offset + length;
  const std::uint64_t owner_size = sizeof kNoteOwner;
  while (offset + 12 <= end) {
    const std::uint64_t namesz = *b.Uint(offset, 4), descsz = *b.Uint(offset + 4, 4), type = *b.Uint(offset + 8, 4);
    const std::uint64_t name = offset + 12;
    const std::uint64_t desc = name + ((namesz + 3) & ~std::uint64_t{3});
    const std::uint64_t next = desc + ((descsz + 3) & ~std::uint64_t{3});
    if (next > end || next <= offset) return std::nullopt;
    if (namesz == owner_size && type == kNoteType && descsz >= 12 &&
        std::memcmp(b.data + name, kNoteOwner, owner_size) == 0) {
      return Saturate(*b.Uint(desc, 4), *b.Uint(desc + 4, 4), *b.Uint(desc + 8, 4));
    }
    offset = next;
  }
  return std::nullopt;
}

std::optional<FileVersion> ElfVersion(const Bytes& b) {
  if (!b.Has(0, 16) || std::memcmp(b.data, "\x7F" "ELF", 4) != 0 || b.data[5] != 1) return std::nullopt;
  const bool wide = b.data[4] == 2;
  if (!wide && b.data[4] != 1) return std::nullopt;
  const auto shoff = b.Uint(wide ? 0x28 : 0x20, wide ? 8 : 4);
  const auto shentsize = b.Uint(wide ? 0x3A : 0x2E, 2);
  const auto shnum = b.Uint(wide ? 0x3C : 0x30, 2);
  const auto shstrndx = b.Uint(wide ? 0x3E : 0x32, 2);
  if (!shoff || !shentsize || !shnum || !shstrndx || *shentsize < (wide ? 64u : 40u)) return std::nullopt;

  auto field = [&](std::uint64_t index, int wide_at, int narrow_at) {
    const std::uint64_t at = *shoff + index * *shentsize;
    return wide ? b.Uint(at + static_cast<std::uint64_t>(wide_at), 8)
                : b.Uint(at + static_cast<std::uint64_t>(narrow_at), 4);
  };
  const auto strtab = field(*shstrndx, 0x18, 0x10);
  const auto strtab_size = field(*shstrndx, 0x20, 0x14);
  if (!strtab || !strtab_size || !b.Has(*strtab, *strtab_size)) return std::nullopt;
  for (std::uint64_t i = 0; i < *shnum; ++i) {
    const auto name = b.Uint(*shoff + i * *shentsize, 4);
    const auto offset = field(i, 0x18, 0x10);
    const auto length = field(i, 0x20, 0x14);
    if (!name || !offset || !length) return std::nullopt;
    if (*name + sizeof kNoteSection > *strtab_size) continue;
    if (std::memcmp(b.data + *strtab + *name, kNoteSection, sizeof kNoteSection) != 0) continue;
    if (auto v = NoteVersion(b, *offset, *length)) return v;
  }
  return std::nullopt;
}

std::optional<FileVersion> PeVersion(const Bytes& b) {
  if (!b.Has(0, 2) || b.data[0] != 'M' || b.data[1] != 'Z') return std::nullopt;
  const auto pe = b.Uint(0x3C, 4);
  if (!pe || !b.Has(*pe, 24) || std::memcmp(b.data + *pe, "PE\0\0", 4) != 0) return std::nullopt;
  const std::uint64_t sections_count = *b.Uint(*pe + 6, 2), optional_size = *b.Uint(*pe + 20, 2);
  const std::uint64_t opt = *pe + 24;
  const auto magic = b.Uint(opt, 2);
  if (!magic || (*magic != 0x10B && *magic != 0x20B)) return std::nullopt;
  const std::uint64_t dirs = opt + (*magic == 0x10B ? 96 : 112);
  const auto dir_count = b.Uint(dirs - 4, 4);
  if (!dir_count || *dir_count < 3 || dirs + 24 > opt + optional_size) return std::nullopt;
  const auto rsrc_rva = b.Uint(dirs + 16, 4);
  if (!rsrc_rva || *rsrc_rva == 0) return std::nullopt;

  auto to_offset = [&](std::uint64_t rva) -> std::optional<std::uint64_t> {
    for (std::uint64_t i = 0; i < sections_count; ++i) {
      const std::uint64_t s = opt + optional_size + 40 * i;
      const auto vsize = b.Uint(s + 8, 4), va = b.Uint(s + 12, 4), rsize = b.Uint(s + 16, 4), raw = b.Uint(s + 20, 4);
      if (!vsize || !va || !rsize || !raw) return std::nullopt;
      const std::uint64_t span = *vsize > *rsize ? *vsize : *rsize;
      if (rva >= *va && rva < *va + span) return *raw + (rva - *va);
    }
    return std::nullopt;
  };
  const auto base = to_offset(*rsrc_rva);
  if (!base) return std::nullopt;

  // Resource tree: type RT_VERSION (16), then the first name, then the first language.
  auto entry = [&](std::uint64_t dir, std::optional<std::uint32_t> id) -> std::optional<std::uint64_t> {
    const auto named = b.Uint(dir + 12, 2), ids = b.Uint(dir + 14, 2);
    if (!named || !ids) return std::nullopt;
    for (std::uint64_t i = 0; i < *named + *ids; ++i) {
      const auto key = b.Uint(dir + 16 + 8 * i, 4), target = b.Uint(dir + 20 + 8 * i, 4);
      if (!key || !target) return std::nullopt;
      if (!id || *key == *id) return *target;
    }
    return std::nullopt;
  };
  std::uint64_t dir = *base;
  std::optional<std::uint32_t> want = 16;
  for (int level = 0; level < 2; ++level) {
    const auto target = entry(dir, want);
    if (!target || !(*target & 0x80000000u)) return std::nullopt;
    dir = *base + (*target & 0x7FFFFFFFu);
    want.reset();
  }
  const auto leaf = entry(dir, std::nullopt);
  if (!leaf || (*leaf & 0x80000000u)) return std::nullopt;
  const auto data_rva = b.Uint(*base + *leaf, 4), data_size = b.Uint(*base + *leaf + 4, 4);
  if (!data_rva || !data_size) return std::nullopt;
  const auto data = to_offset(*data_rva);
  if (!data || !b.Has(*data, *data_size)) return std::nullopt;

  // VS_FIXEDFILEINFO follows the "VS_VERSION_INFO" key, on a 4-byte boundary.
  for (std::uint64_t at = *data; at + 52 <= *data + *data_size; at += 4) {
    if (*b.Uint(at, 4) != 0xFEEF04BDu) continue;
    const std::uint64_t ms = *b.Uint(at + 8, 4), ls = *b.Uint(at + 12, 4);
    return Saturate(ms >> 16, ms & 0xFFFF, ls >> 16);
  }
  return std::nullopt;
}

}  // namespace

FileVersion ReadFileVersion(const unsigned char* data, std::size_t size) {
  const Bytes b{data, size};
  if (auto v = ElfVersion(b)) return *v;
  if (auto v = PeVersion(b)) return *v;
  return {};
}

}  // namespace vortiq
