// Temporary work directories and file names, and directory creation.
//
// An operation's work directory belongs to that operation (OpContext::Work):
// it is made on first use and removed when the operation ends, so operations
// that overlap never share or delete each other's files. Code that runs
// outside an operation gets the process's directory, removed at exit.
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

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
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

// Makes "FKLTemp####" in parent (ending in '/') with its locked lock file.
// On failure dir holds the last name tried and err the reason.
bool MakeWorkDir(const std::string& parent, OwnedDir& out, std::string& dir, int& err, bool clearLeftovers = true) {
  if (clearLeftovers) RemoveLeftovers(parent);
  err = 0;
  for (int attempt = 0; attempt < 500; ++attempt) {
    const std::string name = "FKLTemp" + std::to_string(RandomFourDigits());
    dir = parent + name;
    const std::string lockPath = LockPathFor(parent, name);
    UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
      err = errno;
      if (errno == EEXIST) continue;  // that number is taken
      return false;
    }
    if (!LockIfCurrent(fd.get(), lockPath)) continue;  // a remover got in between: try another number
    if (::mkdir(dir.c_str(), 0700) == 0) {
      out = OwnedDir{dir + "/", lockPath, std::move(fd)};
      return true;
    }
    err = errno;
    ::unlink(lockPath.c_str());
    if (err != EEXIST) return false;
  }
  return false;
}

// Removes the directory and its lock file; the lock itself goes with its descriptor.
void ReleaseDir(const std::string& path, const std::string& lockPath) {
  RemoveTree(path);
  ::unlink(lockPath.c_str());
}

// Free bytes for an unprivileged writer at path; -1 when unknown.
int64_t FreeBytes(const std::string& path) {
  std::error_code ec;
  const fs::space_info si = fs::space(path, ec);
  return ec ? -1 : static_cast<int64_t>(si.available);
}

}  // namespace

WorkDir::WorkDir(int64_t bytesNeeded, const std::string& fallbackParent) {
  std::vector<std::string> parents{GetTemporaryDirectory()};
  if (bytesNeeded > 0) {
    // A small temporary file system (tmpfs) cannot hold a large package:
    // then the folder given (by default the program's) is used when it can.
    const std::string other = WithSlash(fallbackParent.empty() ? Paths().ProgramDir : fallbackParent);
    const int64_t tmpFree = FreeBytes(parents[0]);
    if (tmpFree >= 0 && tmpFree < bytesNeeded && !other.empty() && other != parents[0]) {
      Log("> WorkDir: " + parents[0] + " has " + FormatSize(tmpFree, 1) + " free, " + FormatSize(bytesNeeded, 1) +
          " are needed: the work directory goes to " + other);
      parents.insert(parents.begin(), other);
    }
  }
  Make(parents, true);
}

WorkDir::WorkDir(In where) {
  std::error_code ec;
  fs::create_directories(where.parent, ec);
  Make({WithSlash(where.parent)}, where.clearLeftovers);
}

void WorkDir::Make(const std::vector<std::string>& parents, bool clearLeftovers) {
  std::string dir;
  int err = 0;
  for (const std::string& parent : parents) {
    OwnedDir d;
    if (MakeWorkDir(parent, d, dir, err, clearLeftovers)) {
      path_ = d.path;
      lockPath_ = d.lockPath;
      lockFd_ = d.lock.release();
      Log("> Success create FklTempWorkDir$ = " + path_);
      return;
    }
    Log("> Error create FklTempWorkDir$ = " + dir + "/ (" + std::strerror(err) + ")");
  }
  error_ = dir + ": " + std::strerror(err);
}

void WorkDir::Remove() {
  if (path_.empty()) return;
  ReleaseDir(path_, lockPath_);
  UniqueFd lock(lockFd_);
  lockFd_ = -1;
  path_.clear();
}

WorkDir::~WorkDir() { Remove(); }

const WorkDir* OpContext::Work(int64_t bytesNeeded, const std::string& fallbackParent) {
  if (!work_) {
    auto w = std::make_shared<WorkDir>(bytesNeeded, fallbackParent);
    if (!w->ok()) return nullptr;
    work_ = std::move(w);
  }
  return work_.get();
}

int CreateTempWorkDir() {
  if (OpContext* op = CurrentOp()) return op->Work() ? 1 : 0;
  std::lock_guard lock(g_mutex);
  g_workDir.clear();
  const std::string tmp = GetTemporaryDirectory();
  if (tmp.empty()) return 0;
  OwnedDir d;
  std::string dir;
  int err = 0;
  if (MakeWorkDir(tmp, d, dir, err)) {
    g_workDir = d.path;
    g_ownedDirs.push_back(std::move(d));
    Log("> Success create FklTempWorkDir$ = " + g_workDir);
    return 1;
  }
  g_workDir = dir + "/";
  Log("> Error create FklTempWorkDir$ = " + g_workDir + " (" + std::strerror(err) + ")");
  return 0;
}

std::string FklTempWorkDir() {
  if (OpContext* op = CurrentOp()) return op->CurrentWork() ? op->CurrentWork()->path() : std::string();
  std::lock_guard lock(g_mutex);
  return g_workDir;
}

void DeleteTempWorkDir() {
  std::lock_guard lock(g_mutex);
  for (auto& d : g_ownedDirs) ReleaseDir(d.path, d.lockPath);
  g_ownedDirs.clear();
  g_workDir.clear();
}

std::string MakeTempFileName(const std::string& dirIn, bool clearOld) {
  if (dirIn.empty()) return "";
  const std::string dir = WithSlash(dirIn);
  std::error_code ec;
  if (clearOld) {
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.rfind("TEMP", 0) != 0) continue;
      std::error_code sec;
      if (fs::symlink_status(it->path(), sec).type() == fs::file_type::directory) continue;
      Log("> " + name);
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add | fs::perm_options::nofollow, sec);
      fs::remove(it->path(), sec);
    }
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
