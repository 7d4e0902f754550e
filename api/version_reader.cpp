#include "api/version_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace vortiq {
namespace {

// Little-endian reads that fail, rather than overrun, outside the file. A file is either
// all in memory or read through one window.
class Bytes {
 public:
  Bytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  Bytes(std::uint64_t size, const ReadAt& read) : size_(size), read_(&read) {}

  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  std::optional<std::uint64_t> Uint(std::uint64_t offset, int width) {
    const unsigned char* p = At(offset, static_cast<std::size_t>(width));
    if (p == nullptr) return std::nullopt;
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | p[i];
    return value;
  }
  bool Equal(std::uint64_t offset, const void* text, std::size_t length) {
    const unsigned char* p = At(offset, length);
    return p != nullptr && std::memcmp(p, text, length) == 0;
  }

 private:
  static constexpr std::size_t kAlign = 512;
  static constexpr std::size_t kLongest = 64;  // no read above asks for more

  const unsigned char* At(std::uint64_t offset, std::size_t length) {
    if (!Has(offset, length)) return nullptr;
    if (read_ == nullptr) return data_ + offset;
    if (length > kLongest) return nullptr;
    if (offset < window_at_ || offset + length > window_at_ + window_len_) {
      if (window_ == nullptr) window_ = std::make_unique_for_overwrite<unsigned char[]>(kReadWindow);
      window_at_ = offset & ~std::uint64_t{kAlign - 1};
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kReadWindow, size_ - window_at_));
      window_len_ = std::min((*read_)(window_at_, window_.get(), want), want);
      // Fewer bytes than asked for: it shrank, or a read failed. It ends here now.
      if (window_len_ < want) size_ = window_at_ + window_len_;
      if (!Has(offset, length)) return nullptr;
    }
    return window_.get() + (offset - window_at_);
  }

  const unsigned char* data_ = nullptr;
  std::uint64_t size_;
  const ReadAt* read_ = nullptr;
  std::unique_ptr<unsigned char[]> window_;  // bytes window_at_ to window_at_ + window_len_
  std::uint64_t window_at_ = 0;
  std::size_t window_len_ = 0;
};

FileVersion Saturate(std::uint64_t major, std::uint64_t minor, std::uint64_t build) {
  FileVersion v;
  v.major = static_cast<std::uint8_t>(major > 0xFF ? 0xFF : major);
  v.minor = static_cast<std::uint8_t>(minor > 0xFF ? 0xFF : minor);
  v.build = static_cast<std::uint16_t>(build > 0xFFFF ? 0xFFFF : build);
  return v;
}

std::optional<FileVersion> NoteVersion(Bytes& b, std::uint64_t offset, std::uint64_t length) {
  if (!b.Has(offset, length)) return std::nullopt;
  const std::uint64_t end = offset + length;
  const std::uint64_t owner_size = sizeof kNoteOwner;
  while (offset + 12 <= end) {
    const auto namesz = b.Uint(offset, 4), descsz = b.Uint(offset + 4, 4), type = b.Uint(offset + 8, 4);
    if (!namesz || !descsz || !type) return std::nullopt;
    const std::uint64_t name = offset + 12;
    const std::uint64_t desc = name + ((*namesz + 3) & ~std::uint64_t{3});
    const std::uint64_t next = desc + ((*descsz + 3) & ~std::uint64_t{3});
    if (next > end || next <= offset) return std::nullopt;
    if (*namesz == owner_size && *type == kNoteType && *descsz >= 12 && b.Equal(name, kNoteOwner, owner_size)) {
      const auto major = b.Uint(desc, 4), minor = b.Uint(desc + 4, 4), build = b.Uint(desc + 8, 4);
      if (!major || !minor || !build) return std::nullopt;
      return Saturate(*major, *minor, *build);
    }
    offset = next;
  }
  return std::nullopt;
}

std::optional<FileVersion> ElfVersion(Bytes& b) {
  const auto word_size = b.Uint(4, 1), endian = b.Uint(5, 1);
  if (!b.Equal(0, "\x7F" "ELF", 4) || !word_size || !endian || *endian != 1) return std::nullopt;
  const bool wide = *word_size == 2;
  if (!wide && *word_size != 1) return std::nullopt;
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
    if (!b.Equal(*strtab + *name, kNoteSection, sizeof kNoteSection)) continue;
    if (auto v = NoteVersion(b, *offset, *length)) return v;
  }
  return std::nullopt;
}

std::optional<FileVersion> PeVersion(Bytes& b) {
  if (!b.Equal(0, "MZ", 2)) return std::nullopt;
  const auto pe = b.Uint(0x3C, 4);
  if (!pe || !b.Equal(*pe, "PE\0\0", 4)) return std::nullopt;
  const auto sections_count = b.Uint(*pe + 6, 2), optional_size = b.Uint(*pe + 20, 2);
  if (!sections_count || !optional_size) return std::nullopt;
  const std::uint64_t opt = *pe + 24;
  const auto magic = b.Uint(opt, 2);
  if (!magic || (*magic != 0x10B && *magic != 0x20B)) return std::nullopt;
  const std::uint64_t dirs = opt + (*magic == 0x10B ? 96 : 112);
  const auto dir_count = b.Uint(dirs - 4, 4);
  if (!dir_count || *dir_count < 3 || dirs + 24 > opt + *optional_size) return std::nullopt;
  const auto rsrc_rva = b.Uint(dirs + 16, 4);
  if (!rsrc_rva || *rsrc_rva == 0) return std::nullopt;

  auto to_offset = [&](std::uint64_t rva) -> std::optional<std::uint64_t> {
    for (std::uint64_t i = 0; i < *sections_count; ++i) {
      const std::uint64_t s = opt + *optional_size + 40 * i;
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
    const auto signature = b.Uint(at, 4);
    if (!signature) return std::nullopt;
    if (*signature != 0xFEEF04BDu) continue;
    const auto ms = b.Uint(at + 8, 4), ls = b.Uint(at + 12, 4);
    if (!ms || !ls) return std::nullopt;
    return Saturate(*ms >> 16, *ms & 0xFFFF, *ls >> 16);
  }
  return std::nullopt;
}

FileVersion Read(Bytes& b) {
  if (auto v = ElfVersion(b)) return *v;
  if (auto v = PeVersion(b)) return *v;
  return {};
}

}  // namespace

FileVersion ReadFileVersion(const unsigned char* data, std::size_t size) {
  Bytes b(data, size);
  return Read(b);
}

FileVersion ReadFileVersion(std::uint64_t size, const ReadAt& read) {
  Bytes b(size, read);
  return Read(b);
}

}  // namespace vortiq
