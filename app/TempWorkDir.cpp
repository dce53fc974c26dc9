// Temporary work directories and file names, and directory creation.
//
// Each work directory "FKLTemp####" has a lock file ".FKLTemp####.lock" next
// to it that its run keeps locked (flock) until the directory is deleted, so
// the directory itself holds nothing but the caller's files. The lock file is
// made and locked before the directory exists. Leftovers are removed only when
// their lock can be taken, so a directory still used by another thread or
// another running copy of the program is never touched.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <set>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "app/Log.h"
#include "app/Utilities.h"
#include "platform/UniqueFd.h"
#include "platform/Disks.h"
#include "platform/UserFolders.h"

namespace fk {

namespace fs = std::filesystem;

namespace {

struct OwnedDir {
  std::string path;  // ends in '/'
  std::string lockPath;
  UniqueFd lock;  // held while the directory exists
};

std::mutex g_mutex;
std::string g_workDir;              // FklTempWorkDir
std::vector<OwnedDir> g_ownedDirs;  // every work directory this run made

int RandomFourDigits() {
  static std::mutex m;
  static std::mt19937 gen{std::random_device{}()};
  std::lock_guard lock(m);
  return std::uniform_int_distribution<int>(1000, 9999)(gen);
}

std::string WithSlash(std::string p) {
  if (!p.empty() && p.back() != '/') p += '/';
  return p;
}

std::string LockPathFor(const std::string& tmp, const std::string& dirName) { return tmp + "." + dirName + ".lock"; }

bool IsUnder(const std::string& path, const std::string& root) {
  return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

// A private mount of this program: a directory "mnt" + six characters.
bool IsOwnMountDir(const std::string& mountPoint) {
  const std::string name = fs::path(mountPoint).filename().string();
  return name.size() == 9 && name.compare(0, 3, "mnt") == 0;
}

// Loop devices whose backing file lies inside root (a run that died left them).
void DetachLoopsUnder(const std::string& root) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/sys/block", ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("loop", 0) != 0) continue;
    std::string backing = platform::ReadAttr(e.path().string() + "/loop/backing_file").value_or("");
    const std::string deleted = " (deleted)";
    if (backing.size() > deleted.size() && backing.compare(backing.size() - deleted.size(), deleted.size(), deleted) == 0)
      backing.resize(backing.size() - deleted.size());
    if (!IsUnder(backing, root)) continue;
    const int rc = platform::DetachLoop("/dev/" + name);
    Log("> RemoveTree: detach /dev/" + name + " over " + backing + (rc == 0 ? " done" : " failed: " + std::string(std::strerror(-rc))));
  }
}

// Deletes what lies on root's own file system, never crossing into a mount.
void RemoveSameFileSystem(const std::string& path, dev_t dev, const std::set<std::string>& mountPoints) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  if (st.st_dev != dev || mountPoints.count(path)) {
    Log("> RemoveTree: " + path + " is a mount point of another volume, left alone");
    return;
  }
  ::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
  std::vector<std::string> children;
  std::error_code ec;
  for (auto it = fs::directory_iterator(path, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    children.push_back(it->path().string());
  for (const auto& c : children) RemoveSameFileSystem(c, dev, mountPoints);
  ::rmdir(path.c_str());
}

// Deletes a work directory tree. Mounts inside it are never entered: the
// program's own private mounts are unmounted first (a killed run may have left
// one), any other stays with everything above it; loop devices over files in
// the tree are detached. Read-only directories get write permission first.
void RemoveTree(const fs::path& p) {
  std::error_code ec;
  const std::string root = fs::path(p).lexically_normal().string();
  std::string top = root;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  struct stat st {};
  if (::lstat(top.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  std::vector<platform::MountEntry> inside;
  for (const auto& m : platform::ParseMountInfo(platform::ReadWholeFile("/proc/self/mountinfo")))
    if (IsUnder(m.mountPoint, top)) inside.push_back(m);
  // Deepest first, so that a mount on top of another goes before it.
  std::sort(inside.begin(), inside.end(),
            [](const auto& a, const auto& b) { return a.mountPoint.size() > b.mountPoint.size(); });
  std::set<std::string> remaining;
  for (const auto& m : inside) {
    if (IsOwnMountDir(m.mountPoint) && platform::UnmountPoint(m.mountPoint) == 0) {
      Log("> RemoveTree: unmounted " + m.mountPoint + " left by an earlier run");
      continue;
    }
    remaining.insert(m.mountPoint);
  }
  DetachLoopsUnder(top);
  RemoveSameFileSystem(top, st.st_dev, remaining);
}

// Takes the lock file at path without waiting. True when it is held and still
// the file of that name (not one that a remover unlinked meanwhile).
bool LockIfCurrent(int fd, const std::string& path) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  struct stat held {}, named {};
  return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

void RemoveLeftovers(const std::string& tmp) {
  std::error_code ec;
  const uid_t me = ::geteuid();
  std::vector<std::string> names;
  for (auto it = fs::directory_iterator(tmp, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    names.push_back(it->path().filename().string());
  for (const std::string& name : names) {
    const bool isDir = name.rfind("FKLTemp", 0) == 0;
    const bool isLock = name.rfind(".FKLTemp", 0) == 0 && name.size() > 13 &&
                        name.compare(name.size() - 5, 5, ".lock") == 0;
    if (!isDir && !isLock) continue;
    const std::string dirName = isDir ? name : name.substr(1, name.size() - 6);
    const std::string dir = tmp + dirName;
    const std::string lockPath = LockPathFor(tmp, dirName);
    struct stat st {};
    const bool dirExists = ::lstat(dir.c_str(), &st) == 0;
    // Only real directories of our own user; never follow a link out of here.
    if (isDir && (!S_ISDIR(st.st_mode) || st.st_uid != me)) continue;
    if (isLock && dirExists) continue;  // handled with its directory
    const UniqueFd fd(::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd && errno != ENOENT) continue;
    if (fd && !LockIfCurrent(fd.get(), lockPath)) continue;  // a live run owns it
    if (isDir) {
      Log("> --> CreateTempWorkDir: DeleteDirectory: " + dir);
      RemoveTree(dir);
    }
    if (fd) ::unlink(lockPath.c_str());
  }
}

}  // namespace

std::string GetTemporaryDirectory() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t && *t) ? t : "/tmp";
  std::error_code ec;
  fs::path canon = fs::canonical(dir, ec);
  if (!ec) dir = canon.string();
  return WithSlash(dir);
}

namespace {

// Makes a locked "FKLTemp####" directory in tmp (ending in '/'), after removing
// the leftovers there; registers it in g_ownedDirs. g_mutex is held.
std::string MakeOwnedDir(const std::string& tmp, std::string* tried = nullptr) {
  RemoveLeftovers(tmp);
  std::string dir;
  int lastErrno = 0;
  for (int attempt = 0; attempt < 500; ++attempt) {
    const std::string name = "FKLTemp" + std::to_string(RandomFourDigits());
    dir = tmp + name;
    const std::string lockPath = LockPathFor(tmp, name);
    UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
      lastErrno = errno;
      if (errno == EEXIST) continue;  // that number is taken
      break;
    }
    if (!LockIfCurrent(fd.get(), lockPath)) continue;  // a remover got in between: try another number
    if (::mkdir(dir.c_str(), 0700) == 0) {
      g_ownedDirs.push_back(OwnedDir{dir + "/", lockPath, std::move(fd)});
      return dir + "/";
    }
    lastErrno = errno;
    ::unlink(lockPath.c_str());
    if (lastErrno != EEXIST) break;
  }
  if (tried) *tried = dir + "/";
  errno = lastErrno;
  return {};
}

}  // namespace

int CreateTempWorkDir() {
  std::lock_guard lock(g_mutex);
  g_workDir.clear();
  const std::string tmp = GetTemporaryDirectory();
  if (tmp.empty()) return 0;
  std::string tried;
  const std::string dir = MakeOwnedDir(tmp, &tried);
  if (!dir.empty()) {
    g_workDir = dir;
    Log("> Success create FklTempWorkDir$ = " + g_workDir);
    return 1;
  }
  const int err = errno;
  g_workDir = tried;
  Log("> Error create FklTempWorkDir$ = " + g_workDir + " (" + std::strerror(err) + ")");
  return 0;
}

std::string OwnedTempDirIn(const std::string& parentIn) {
  const std::string parent = WithSlash(parentIn);
  std::lock_guard lock(g_mutex);
  for (const OwnedDir& d : g_ownedDirs)
    if (d.path.size() > parent.size() && d.path.compare(0, parent.size(), parent) == 0 &&
        d.path.find('/', parent.size()) == d.path.size() - 1 && d.path != g_workDir)
      return d.path;
  const std::string dir = MakeOwnedDir(parent);
  if (dir.empty()) Log("> Error create a work directory in " + parent + " (" + std::strerror(errno) + ")");
  return dir;
}

std::string FklTempWorkDir() {
  std::lock_guard lock(g_mutex);
  return g_workDir;
}

void DeleteTempWorkDir() {
  std::lock_guard lock(g_mutex);
  for (auto& d : g_ownedDirs) {
    RemoveTree(d.path);
    ::unlink(d.lockPath.c_str());
  }
  g_ownedDirs.clear();
  g_workDir.clear();
}

std::string MakeTempFileName(const std::string& dirIn) {
  if (dirIn.empty()) return "";
  const std::string dir = WithSlash(dirIn);
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("TEMP", 0) != 0) continue;
    std::error_code sec;
    if (fs::symlink_status(it->path(), sec).type() == fs::file_type::directory) continue;
    Log("> " + name);
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add | fs::perm_options::nofollow, sec);
    fs::remove(it->path(), sec);
  }
  std::string name;
  for (;;) {
    name = dir + "TEMP" + std::to_string(RandomFourDigits());
    Log("> TempFileName$=" + name);
    std::error_code sec;
    if (!fs::exists(fs::symlink_status(name, sec))) break;
  }
  return name;
}

static std::string Slashes(std::string p) {
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

int CreateDirectoryPath(const std::string& pathIn) {
  const std::string path = Slashes(pathIn);
  std::error_code ec;
  std::string prefix;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('/', start);
    prefix += path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    prefix += '/';
    if (prefix != "/" && !fs::exists(prefix, ec)) {
      if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) break;
      platform::GiveToUser(prefix);
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  const bool ok = !path.empty() && fs::is_directory(path, ec);
  Log("> CreateDirectoryPath: Create Directory \"" + path + "\" ............ " + (ok ? "OK" : "Error"));
  return ok ? 1 : 0;
}

void CreateDirectoryTree(const std::string& pathIn) {
  if (pathIn.empty()) return;
  const std::string path = Slashes(pathIn);
  std::error_code ec;
  if (fs::is_directory(path, ec)) return;
  std::string trimmed = path;
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  const size_t cut = trimmed.rfind('/');
  const std::string parent = cut == std::string::npos ? "" : trimmed.substr(0, cut + 1);
  if (parent.size() > 1) CreateDirectoryTree(parent);
  Log("> CreateDirectory " + path);
  if (::mkdir(path.c_str(), 0777) == 0) platform::GiveToUser(path);
}

}  // namespace fk
