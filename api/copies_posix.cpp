// The walk on POSIX: iterative, each directory opened relative to its parent,
// so neither depth nor path length stops it; symbolic links are never followed.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
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

std::set<std::string> SkippedMountPoints() {
  std::set<std::string> skipped;
  std::FILE* mounts = std::fopen("/proc/self/mounts", "re");
  if (mounts == nullptr) return skipped;
  char line[8192];
  while (std::fgets(line, sizeof line, mounts) != nullptr) {
    char where[4096], type[256];
    if (std::sscanf(line, "%*s %4095s %255s", where, type) == 2 && IsSkippedFilesystem(type)) {
      skipped.insert(Unescape(where));
    }
  }
  std::fclose(mounts);
  return skipped;
}

FileVersion VersionOfOpenFile(int fd, std::uint64_t size) {
  std::vector<unsigned char> data(static_cast<std::size_t>(size));
  std::size_t have = 0;
  while (have < data.size()) {
    const ssize_t n = pread(fd, data.data() + have, data.size() - have, static_cast<off_t>(have));
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  return ReadFileVersion(data.data(), have);  // a file that shrank is read as far as it goes
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

struct Frame {
  DIR* dir;
  std::string path;
};

void Walk(const std::string& root, const std::set<std::string>& skipped,
          std::set<std::pair<dev_t, ino_t>>& visited, std::vector<Copy>& found) {
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || !visited.insert({st.st_dev, st.st_ino}).second) {
    close(fd);
    return;
  }
  DIR* top = fdopendir(fd);
  if (top == nullptr) {
    close(fd);
    return;
  }
  std::vector<Frame> stack;
  stack.push_back({top, root});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const dirent* entry = readdir(frame.dir);
    if (entry == nullptr) {  // end, or an unreadable or vanished directory
      closedir(frame.dir);
      stack.pop_back();
      continue;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    const int parent = dirfd(frame.dir);
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type != DT_DIR && type != DT_REG) continue;  // links, FIFOs, devices, sockets
    // Most entries are files of other names: decide before building any path.
    if (type == DT_REG && !IsLibraryName(name)) continue;
    std::string path = frame.path;
    if (path.back() != '/') path += '/';
    path += name;
    if (type == DT_REG) {
      Copy copy;
      if (DescribeAt(parent, name, std::move(path), copy)) found.push_back(std::move(copy));
      continue;
    }
    if (skipped.count(path) != 0) continue;
    const int child = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (child < 0) continue;
    if (fstat(child, &st) != 0 || !visited.insert({st.st_dev, st.st_ino}).second) {
      close(child);  // reached before: a bind mount or a loop
      continue;
    }
    DIR* dir = fdopendir(child);
    if (dir == nullptr) {
      close(child);
      continue;
    }
    stack.push_back({dir, std::move(path)});  // `frame` is not used past this point
  }
}

void Anchor() {}

}  // namespace

std::vector<Copy> FindCopies() {
  std::vector<std::string> roots = SearchRoots(':');
  std::set<std::string> skipped;
  if (roots.empty()) {
    roots.push_back("/");
    skipped = SkippedMountPoints();
  }
  std::set<std::pair<dev_t, ino_t>> visited;
  std::vector<Copy> found;
  for (const std::string& root : roots) {
    // Paths are reported absolute; a relative root is taken from the working folder.
    std::string absolute = root;
    if (absolute[0] != '/') {
      char cwd[PATH_MAX];
      if (getcwd(cwd, sizeof cwd) == nullptr) continue;
      absolute = std::string(cwd) + "/" + root;
    }
    Walk(absolute, skipped, visited, found);
  }
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
