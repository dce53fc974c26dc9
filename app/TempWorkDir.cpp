// Temporary work directories and file names, and directory creation.
//
// Every work directory holds a lock file that its run keeps locked (flock)
// until the directory is deleted. Leftovers are removed only when their lock
// can be taken, so a directory still used by another thread or another running
// copy of the program is never touched. A new directory is prepared under a
// private name and renamed into place only once its lock is held.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <vector>

#include "app/Log.h"
#include "app/Utilities.h"

namespace fk {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLockName = ".fkl-lock";

struct OwnedDir {
  std::string path;  // ends in '/'
  int lockFd = -1;
};

std::mutex g_mutex;
std::string g_workDir;             // FklTempWorkDir
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

// Deletes a tree; entries that are read-only get write permission first.
void RemoveTree(const fs::path& p) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(p, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(p, ec);
}

// True when nobody holds the directory's lock (or it has none: a leftover of an
// older run). Holds the lock in *fd while the caller deletes.
bool TryClaim(const std::string& dir, int* fd) {
  *fd = ::open((dir + "/" + kLockName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (*fd < 0) return errno == ENOENT;
  if (::flock(*fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(*fd);
    *fd = -1;
    return false;
  }
  return true;
}

void RemoveLeftovers(const std::string& tmp) {
  std::error_code ec;
  const uid_t me = ::geteuid();
  for (auto it = fs::directory_iterator(tmp, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("FKLTemp", 0) != 0) continue;
    struct stat st {};
    // Only real directories of our own user; never follow a link out of here.
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me) continue;
    int fd = -1;
    if (!TryClaim(it->path().string(), &fd)) continue;
    const std::string full = tmp + name;
    Log("> --> CreateTempWorkDir: DeleteDirectory: " + full);
    RemoveTree(it->path());
    if (fd >= 0) ::close(fd);
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

int CreateTempWorkDir() {
  std::lock_guard lock(g_mutex);
  g_workDir.clear();
  std::string tmp = GetTemporaryDirectory();
  if (tmp.empty()) return 0;
  RemoveLeftovers(tmp);

  // Prepare the directory under a private name with its lock held, then give
  // it its final name; the rename fails rather than replace an existing one.
  const std::string staging = tmp + ".fkl-new-" + std::to_string(::getpid()) + "-" +
                              std::to_string(RandomFourDigits());
  std::string target;
  auto fail = [&](const std::string& path, int fd) {
    Log("> Error create FklTempWorkDir$ = " + path + " (" + std::strerror(errno) + ")");
    if (fd >= 0) ::close(fd);
    std::error_code ec;
    fs::remove_all(staging, ec);
    g_workDir = path;
    return 0;
  };
  if (::mkdir(staging.c_str(), 0700) != 0) return fail(staging, -1);
  int fd = ::open((staging + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return fail(staging, fd);
  for (int attempt = 0; attempt < 200; ++attempt) {
    target = tmp + "FKLTemp" + std::to_string(RandomFourDigits());
    if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      g_workDir = target + "/";
      g_ownedDirs.push_back(OwnedDir{g_workDir, fd});
      Log("> Success create FklTempWorkDir$ = " + g_workDir);
      return 1;
    }
    if (errno != EEXIST && errno != ENOTEMPTY) break;
  }
  return fail(target + "/", fd);
}

std::string FklTempWorkDir() {
  std::lock_guard lock(g_mutex);
  return g_workDir;
}

void DeleteTempWorkDir() {
  std::lock_guard lock(g_mutex);
  for (auto& d : g_ownedDirs) {
    RemoveTree(d.path);
    if (d.lockFd >= 0) ::close(d.lockFd);
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
  ::mkdir(path.c_str(), 0777);
}

}  // namespace fk
