// The walk on POSIX: iterative, each directory opened relative to its parent, so
// no path length stops it (one directory stays open per level, so the open-file
// limit bounds the depth); symbolic links are never followed.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "api/copies.h"

namespace vortiq {
namespace {

// Filesystems that hold no installed copies, or that a walk must not touch.
bool IsSkippedFilesystem(const std::string& type) {
  static const std::set<std::string> kSkipped = {
      "proc",  "sysfs",    "devtmpfs",  "devpts",   "cgroup",     "cgroup2",  "autofs",  "nfs",
      "nfs4",  "cifs",     "smb3",      "smbfs",    "securityfs", "debugfs",  "tracefs", "pstore",
      "bpf",   "mqueue",   "hugetlbfs", "configfs", "fusectl",    "binfmt_misc", "efivarfs", "rpc_pipefs",
      "nsfs",  "ceph",     "9p",        "afs",      "sshfs",      "gvfsd-fuse", "selinuxfs", "ramfs"};
  return kSkipped.count(type) != 0 || type.rfind("fuse", 0) == 0;
}

// /proc/self/mounts writes space, tab, newline and backslash as octal escapes.
std::string Unescape(const char* field) {
  std::string out;
  for (const char* p = field; *p != '\0'; ++p) {
    if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' && p[3] >= '0' && p[3] <= '7') {
      out += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
      p += 3;
    } else {
      out += *p;
    }
  }
  return out;
}

FileVersion VersionOfOpenFile(int fd, std::uint64_t size) {
  return ReadFileVersion(size, [fd](std::uint64_t offset, unsigned char* out, std::size_t n) {
    std::size_t have = 0;
    while (have < n) {
      const ssize_t got = pread(fd, out + have, n - have, static_cast<off_t>(offset + have));
      if (got <= 0) break;
      have += static_cast<std::size_t>(got);
    }
    return have;
  });
}

// A regular file `name` in `dir`, described; false for anything else.
bool DescribeAt(int dir, const char* name, std::string path, Copy& copy) {
  // O_NONBLOCK and O_NOFOLLOW: a FIFO or a link swapped in after the listing never blocks or leads away.
  const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular) {
    copy.path = std::move(path);
    copy.size = static_cast<std::uint64_t>(st.st_size);
    const time_t modified = st.st_mtime;
    localtime_r(&modified, &copy.modified);
    copy.version = VersionOfOpenFile(fd, copy.size);
  }
  close(fd);
  return regular;
}

struct Identity {
  dev_t dev;
  ino_t ino;
  bool operator==(const Identity&) const = default;
};

struct IdentityHash {
  std::size_t operator()(const Identity& id) const {
    return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(id.ino) * 0x9E3779B97F4A7C15ull ^
                                      static_cast<std::uint64_t>(id.dev));
  }
};

using IdentitySet = std::unordered_set<Identity, IdentityHash>;

struct Mount {
  std::string where;
  bool skipped;  // a filesystem the whole-machine walk leaves out
};

std::vector<Mount> ReadMounts(bool skip_types) {
  std::vector<Mount> mounts;
  std::FILE* table = std::fopen("/proc/self/mounts", "re");
  if (table == nullptr) return mounts;
  char line[8192];
  while (std::fgets(line, sizeof line, table) != nullptr) {
    char where[4096], type[256];
    if (std::sscanf(line, "%*s %4095s %255s", where, type) == 2) {
      mounts.push_back({Unescape(where), skip_types && IsSkippedFilesystem(type)});
    }
  }
  std::fclose(table);
  return mounts;
}

// One search root: the folders under it where other filesystems are mounted, keyed by their
// path below the root, so the walk knows them without a system call per folder.
struct Root {
  std::string path;                             // absolute, as the copies are reported
  std::set<std::string, std::less<>> mounted;   // paths below it, as "/sub/dir", of mount points
  std::set<std::string, std::less<>> skipped;   // the subset left out
  std::vector<std::string> walked;              // real paths of the mount points that are walked
};

Root MakeRoot(std::string path, const std::vector<Mount>& mounts) {
  Root root;
  root.path = std::move(path);
  // The mount table names real paths; the root may be spelled through a link.
  char* real = realpath(root.path.c_str(), nullptr);
  if (real == nullptr) return root;
  std::string base = real;
  std::free(real);
  if (base == "/") base.clear();
  for (const Mount& m : mounts) {
    if (m.where.size() <= base.size() + 1 || m.where.compare(0, base.size(), base) != 0 ||
        m.where[base.size()] != '/') {
      continue;
    }
    const std::string below = m.where.substr(base.size());
    root.mounted.insert(below);
    if (m.skipped) {
      root.skipped.insert(below);
    } else {
      root.skipped.erase(below);  // mounted over again by a filesystem that is walked
    }
  }
  for (const std::string& below : root.mounted) {
    // Not below a left-out filesystem either: looking there may hang.
    bool under_skipped = false;
    for (const std::string& s : root.skipped) {
      under_skipped = under_skipped || (below.compare(0, s.size(), s) == 0 &&
                                        (below.size() == s.size() || below[s.size()] == '/'));
    }
    if (!under_skipped) root.walked.push_back(base + below);
  }
  return root;
}

// The entries of a directory are read in large blocks, straight from the kernel: two reads
// for most directories, and no stat, since each entry carries its type and inode number.
// Past the usual depths a level gets a small block, so a very deep tree costs little memory.
constexpr std::size_t kEntryBlock = 64 * 1024;
constexpr std::size_t kDeepEntryBlock = 4 * 1024;
constexpr std::size_t kDeep = 32;

std::size_t BlockSize(std::size_t depth) { return depth < kDeep ? kEntryBlock : kDeepEntryBlock; }

// One directory stays open per level: the walk may use every file the system allows the
// process, and gives the caller its own limit back after.
class OpenFileAllowance {
 public:
  OpenFileAllowance() {
    if (getrlimit(RLIMIT_NOFILE, &saved_) != 0 || saved_.rlim_cur >= saved_.rlim_max) return;
    struct rlimit all = saved_;
    all.rlim_cur = all.rlim_max;
    raised_ = setrlimit(RLIMIT_NOFILE, &all) == 0;
  }
  ~OpenFileAllowance() {
    if (raised_) setrlimit(RLIMIT_NOFILE, &saved_);
  }
  OpenFileAllowance(const OpenFileAllowance&) = delete;
  OpenFileAllowance& operator=(const OpenFileAllowance&) = delete;

 private:
  struct rlimit saved_{};
  bool raised_ = false;
};

struct Frame {
  int fd;
  dev_t dev;            // of the filesystem the directory is on, as far as the walk knows
  std::size_t path_len;  // of its path in the walk's path buffer
  std::size_t pos = 0, end = 0;
};

class Walker {
 public:
  Walker(IdentitySet special, std::vector<Copy>& found) : special_(std::move(special)), found_(found) {}

  void Walk(const Root& root) {
    const int fd = open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !entered_.insert({st.st_dev, st.st_ino}).second) {
      close(fd);  // an earlier root holds it
      return;
    }
    // Without its trailing slashes, so "/" walks as "" and its entries read "/name".
    path_ = root.path;
    while (!path_.empty() && path_.back() == '/') path_.pop_back();
    const std::size_t root_len = path_.size();
    stack_.clear();
    Push(fd, st.st_dev);
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      const std::size_t depth = stack_.size() - 1;
      char* block = blocks_[depth].get();
      if (frame.pos == frame.end) {
        // An error reading a directory (it vanished, or cannot be read) ends it like its end.
        const ssize_t n = getdents64(frame.fd, block, BlockSize(depth));
        if (n <= 0) {
          close(frame.fd);
          stack_.pop_back();
          continue;
        }
        frame.pos = 0;
        frame.end = static_cast<std::size_t>(n);
      }
      const char* record = block + frame.pos;
      std::uint64_t ino;
      unsigned short reclen;
      unsigned char type;
      std::memcpy(&ino, record + offsetof(dirent64, d_ino), sizeof ino);
      std::memcpy(&reclen, record + offsetof(dirent64, d_reclen), sizeof reclen);
      std::memcpy(&type, record + offsetof(dirent64, d_type), sizeof type);
      const char* name = record + offsetof(dirent64, d_name);
      frame.pos += reclen;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (type == DT_UNKNOWN) {  // a filesystem that does not type its entries
        if (fstatat(frame.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
      }
      if (type != DT_DIR && type != DT_REG) continue;  // links, FIFOs, devices, sockets
      // Most entries are files of other names: decide before building any path.
      if (type == DT_REG && !IsLibraryName(name)) continue;
      path_.resize(frame.path_len);
      path_ += '/';
      path_ += name;
      const int parent = frame.fd;
      if (type == DT_REG) {
        Copy copy;
        if (DescribeAt(parent, name, path_, copy)) found_.push_back(std::move(copy));
        continue;
      }
      const std::string_view below = std::string_view(path_).substr(root_len);
      const bool mount_point = root.mounted.find(below) != root.mounted.end();
      if (mount_point && root.skipped.find(below) != root.skipped.end()) continue;
      const int child = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
      if (child < 0) continue;
      dev_t dev = frame.dev;
      // A folder reached twice is a root or a mount point reached again, or one reached
      // below another: only those are stat'ed, and only those remembered.
      if (mount_point || special_.count({frame.dev, static_cast<ino_t>(ino)}) != 0) {
        if (fstat(child, &st) != 0) {
          close(child);
          continue;
        }
        dev = st.st_dev;
        const Identity id{st.st_dev, st.st_ino};
        if ((mount_point || special_.count(id) != 0) && !entered_.insert(id).second) {
          close(child);
          continue;
        }
      }
      Push(child, dev);  // `frame` is not used past this point
    }
  }

 private:
  void Push(int fd, dev_t dev) {
    if (blocks_.size() == stack_.size()) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(BlockSize(stack_.size())));
    }
    stack_.push_back({fd, dev, path_.size()});
  }

  const IdentitySet special_;   // roots and mount points: the folders that can be reached twice
  IdentitySet entered_;         // those of them walked so far
  std::vector<Copy>& found_;
  std::string path_;            // of the entry at hand; each frame knows its own length
  std::vector<Frame> stack_;
  std::vector<std::unique_ptr<char[]>> blocks_;  // one per depth, kept for the next folder there
};

void Anchor() {}

}  // namespace

std::vector<Copy> FindCopies() {
  std::vector<std::string> given = SearchRoots(':');
  const bool whole_machine = given.empty();
  if (whole_machine) given.push_back("/");
  const std::vector<Mount> mounts = ReadMounts(whole_machine);
  std::vector<Root> roots;
  IdentitySet special;
  struct stat st;
  for (std::string& path : given) {
    // Paths are reported absolute; a relative root is taken from the working folder.
    if (path[0] != '/') {
      char cwd[PATH_MAX];
      if (getcwd(cwd, sizeof cwd) == nullptr) continue;
      path = std::string(cwd) + "/" + path;
    }
    if (stat(path.c_str(), &st) == 0) special.insert({st.st_dev, st.st_ino});
    Root root = MakeRoot(path, mounts);
    for (const std::string& where : root.walked) {
      if (stat(where.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) special.insert({st.st_dev, st.st_ino});
    }
    roots.push_back(std::move(root));
  }
  std::vector<Copy> found;
  const OpenFileAllowance allowance;
  Walker walker(std::move(special), found);
  for (const Root& root : roots) walker.Walk(root);
  return found;
}

bool DescribeSelf(Copy& self) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr) return false;
  char* real = realpath(info.dli_fname, nullptr);
  if (real == nullptr) return false;
  const std::string path = real;
  std::free(real);
  const std::size_t slash = path.rfind('/');
  const int dir = open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  const bool ok = DescribeAt(dir, path.c_str() + slash + 1, path, self);
  close(dir);
  return ok;
}

}  // namespace vortiq
