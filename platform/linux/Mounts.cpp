#include "platform/Mounts.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Disks.h"
#include "platform/Process.h"
#include "platform/UniqueFd.h"

namespace fk::platform {

namespace {

unsigned long MountFlags(const std::string& options) {
  unsigned long flags = 0;
  std::stringstream ss(options);
  std::string o;
  while (std::getline(ss, o, ',')) {
    if (o == "ro") flags |= MS_RDONLY;
    else if (o == "nosuid") flags |= MS_NOSUID;
    else if (o == "nodev") flags |= MS_NODEV;
    else if (o == "noexec") flags |= MS_NOEXEC;
    else if (o == "noatime") flags |= MS_NOATIME;
    else if (o == "nodiratime") flags |= MS_NODIRATIME;
    else if (o == "relatime") flags |= MS_RELATIME;
    else if (o == "sync") flags |= MS_SYNCHRONOUS;
    else if (o == "dirsync") flags |= MS_DIRSYNC;
  }
  return flags;
}

std::string FsData(const std::string& superOptions) {
  std::string out;
  std::stringstream ss(superOptions);
  std::string o;
  while (std::getline(ss, o, ',')) {
    if (o == "rw" || o == "ro" || o.empty()) continue;
    if (!out.empty()) out += ",";
    out += o;
  }
  return out;
}

}  // namespace

bool BlockDeviceNumber(const std::string& path, unsigned* maj, unsigned* min) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  *maj = major(st.st_rdev);
  *min = minor(st.st_rdev);
  return true;
}

int UnmountPoint(const std::string& mountPoint) { return ::umount2(mountPoint.c_str(), 0) == 0 ? 0 : -errno; }

int MountAgain(const std::string& device, const MountEntry& m) {
  const std::string data = FsData(m.superOptions);
  return ::mount(device.c_str(), m.mountPoint.c_str(), m.fsType.c_str(), MountFlags(m.mountOptions),
                 data.empty() ? nullptr : data.c_str()) == 0
             ? 0
             : -errno;
}

bool KernelHasFileSystem(const std::string& name) {
  std::ifstream in("/proc/filesystems");
  std::string line;
  while (std::getline(in, line)) {
    auto tab = line.rfind('\t');
    if ((tab == std::string::npos ? line : line.substr(tab + 1)) == name) return true;
  }
  return false;
}

RamFolder FindRamFolder() {
  RamFolder r;
  r.path = "/dev/shm";
  struct statfs fs {};
  if (::statfs(r.path.c_str(), &fs) != 0 || fs.f_type != TMPFS_MAGIC || ::access(r.path.c_str(), W_OK) != 0)
    return r;
  r.freeBytes = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_bsize);
  return r;
}

bool SetNtfsHidden(const std::string& path) {
  unsigned char v[4] = {0, 0, 0, 0};
  if (::getxattr(path.c_str(), "system.ntfs_attrib_be", v, sizeof v) != 4) return false;
  v[3] |= 0x02;  // FILE_ATTRIBUTE_HIDDEN, big-endian word
  return ::setxattr(path.c_str(), "system.ntfs_attrib_be", v, sizeof v, 0) == 0;
}

namespace {
bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}
std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }
}  // namespace

std::string MakeUniqueDir(const std::string& parent, const std::string& prefix, std::string* error) {
  std::string base = parent;
  if (base.empty()) {
    const char* t = std::getenv("TMPDIR");
    base = (t && *t) ? t : "/tmp";
  }
  if (base.back() != '/') base += '/';
  std::string templ = base + prefix + "XXXXXX";
  if (!::mkdtemp(templ.data())) {
    Fail(error, Errno("mkdtemp " + base + prefix + "XXXXXX"));
    return {};
  }
  return templ;
}

bool PrivateMount::Mount(const std::string& device, const std::string& fsType, const std::string& workDir,
                         std::string* error) {
  Release();
  dir_ = MakeUniqueDir(workDir, "mnt", error);
  if (dir_.empty()) return false;
  if (fsType == "exFAT" && KernelHasFileSystem("exfat")) {
    if (::mount(device.c_str(), dir_.c_str(), "exfat", 0, "") != 0) return Fail(error, Errno("mount exfat"));
  } else if (fsType == "NTFS" && KernelHasFileSystem("ntfs3")) {
    if (::mount(device.c_str(), dir_.c_str(), "ntfs3", 0, "") != 0) return Fail(error, Errno("mount ntfs3"));
  } else if (fsType == "exFAT" || fsType == "NTFS") {
    const std::string tool = fsType == "exFAT" ? "mount.exfat-fuse" : "ntfs-3g";
    ProcessRequest rq;
    rq.argv = {tool, device, dir_};
    rq.timeoutMs = 60 * 1000;
    ProcessResult r = RunProcess(rq);
    if (!r.started || r.exitCode != 0) return Fail(error, ProcessFailureText(tool, r));
  } else {
    return Fail(error, "no private mount for file system " + fsType);
  }
  mounted_ = true;
  return true;
}

bool PrivateMount::Release(std::string* error) {
  bool ok = true;
  if (mounted_) {
    {  // closed again before the unmount, which it would keep busy
      const UniqueFd d(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (d) ::syncfs(d.get());
    }
    int rc = -1;
    for (int i = 0; i < 50; ++i) {
      rc = ::umount2(dir_.c_str(), 0);
      if (rc == 0 || errno != EBUSY) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (rc != 0) {
      ok = Fail(error, Errno("umount " + dir_));
      ::umount2(dir_.c_str(), MNT_DETACH);
    }
    mounted_ = false;
  }
  if (!dir_.empty()) {
    ::rmdir(dir_.c_str());
    dir_.clear();
  }
  return ok;
}

}  // namespace fk::platform
