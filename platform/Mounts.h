// A file system mounted on a private directory for the time a job needs it.
#pragma once

#include <cstdint>
#include <string>

namespace fk::platform {

class PrivateMount {
 public:
  PrivateMount() = default;
  ~PrivateMount() { Release(); }
  PrivateMount(const PrivateMount&) = delete;
  PrivateMount& operator=(const PrivateMount&) = delete;

  // Mounts device (fsType "exFAT" or "NTFS") on a new directory under workDir
  // ("" = $TMPDIR): through the kernel driver when the kernel has one, else the
  // FUSE driver (mount.exfat-fuse, ntfs-3g). False with *error on failure.
  bool Mount(const std::string& device, const std::string& fsType, const std::string& workDir, std::string* error);
  const std::string& dir() const { return dir_; }
  // Flushes, unmounts (retrying while busy, then detaching lazily so that the
  // volume never stays mounted) and removes the directory. False when the
  // unmount itself failed.
  bool Release(std::string* error = nullptr);

 private:
  std::string dir_;
  bool mounted_ = false;
};

// Sets the hidden attribute of a file or folder on a mounted NTFS volume (both
// Linux NTFS drivers publish the attribute word as an extended attribute).
bool SetNtfsHidden(const std::string& path);

// Makes a new directory "<parent>/<prefix>XXXXXX" (parent "" = $TMPDIR, else
// /tmp) for a job's scratch files. Its path; "" with *error on failure.
std::string MakeUniqueDir(const std::string& parent, const std::string& prefix, std::string* error);

// The shared-memory folder (/dev/shm): its path and free bytes when it is a
// writable tmpfs; free -1 when there is none.
struct RamFolder {
  std::string path;
  int64_t freeBytes = -1;
};
RamFolder FindRamFolder();

// Whether /proc/filesystems lists a kernel driver of that name.
bool KernelHasFileSystem(const std::string& name);

}  // namespace fk::platform
