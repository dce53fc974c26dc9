#include "disk/RawDisk.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "app/Log.h"
#include "app/Ui.h"
#include "disk/DiskInternal.h"
#include "disk/VolumeRef.h"
#include "disk/DiskList.h"
#include "platform/Disks.h"
#include "platform/UniqueFd.h"
#include "platform/Storage.h"

namespace fk {

// ---- whole-disk claims of this process ---------------------------------------------

namespace {
std::mutex g_claimMutex;
std::map<std::string, int> g_claims;

void AddClaim(const std::string& path) {
  std::lock_guard lk(g_claimMutex);
  ++g_claims[path];
}
void DropClaim(const std::string& path) {
  std::lock_guard lk(g_claimMutex);
  auto it = g_claims.find(path);
  if (it != g_claims.end() && --it->second <= 0) g_claims.erase(it);
}
}  // namespace

bool ProcessHoldsDisk(const std::string& devicePath) {
  std::lock_guard lk(g_claimMutex);
  return g_claims.count(devicePath) > 0;
}

// ---- DriveHandle ------------------------------------------------------------------

DriveHandle::DriveHandle(int fd, int64_t offset, std::string name, std::string devicePath, bool writable,
                         bool locked, bool imageFile)
    : fd_(fd),
      offset_(offset),
      name_(std::move(name)),
      devicePath_(std::move(devicePath)),
      writable_(writable),
      locked_(locked),
      imageFile_(imageFile) {}

DriveHandle::~DriveHandle() { Close(); }

DriveHandle::DriveHandle(DriveHandle&& o) noexcept { *this = std::move(o); }

DriveHandle& DriveHandle::operator=(DriveHandle&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = std::move(o.fd_);
    offset_ = o.offset_;
    name_ = std::move(o.name_);
    devicePath_ = std::move(o.devicePath_);
    writable_ = o.writable_;
    locked_ = std::exchange(o.locked_, false);
    imageFile_ = o.imageFile_;
    length_ = o.length_;
    diskClaim_ = std::exchange(o.diskClaim_, false);
    mountDevices_ = std::move(o.mountDevices_);
    storage_ = std::move(o.storage_);
  }
  return *this;
}

void DriveHandle::Close() {
  if (diskClaim_) DropClaim(devicePath_);
  diskClaim_ = false;
  fd_.Close();  // closing also drops the O_EXCL claim and the flock
  locked_ = false;
  storage_.Release();
}

// ---- guard ---------------------------------------------------------------------------

static void RefuseSystemDrive() {
  GetUi().ShowStatus("WARNING - write access to System Drive disabled!", 0);
  GetUi().MessageBox("Error", "Sorry, operation not permitted!\r\nYou selected a System Drive.", MsgButtons::Ok,
                     MsgIcon::Warning);
}

static void RefuseVolume(const std::string& name) {
  Log("> GetDriveHandle: WARNING: Bad DriveLetter$=" + name + ". Please check the code!");
  GetUi().ShowStatus("WARNING - access to Disk " + name + ": disabled!", 0);
  GetUi().MessageBox("Error", "Sorry, operation not permitted!\r\nYou selected a System Drive.", MsgButtons::Ok,
                     MsgIcon::Warning);
}

// Kernel name of the block device behind a device node path: through its device
// number for a real node, or the name under the device root for fake trees.
static std::string KernelNameOfNode(const std::string& path) {
  const DiskEnvironment env = DiskEnv();
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
    return platform::BlockNameOfDev(env.sysRoot, major(st.st_rdev), minor(st.st_rdev));
  const std::string prefix = env.devRoot + "/";
  if (env.devRoot != "/dev" && path.compare(0, prefix.size(), prefix) == 0) {
    std::string n = path.substr(prefix.size());
    if (n.find('/') == std::string::npos && platform::ReadBlockDevice(env.sysRoot, n)) return n;
  }
  return {};
}

std::optional<PartitionOfNode> LocatePartitionNode(const std::string& node) {
  const std::string kname = KernelNameOfNode(node);
  if (kname.empty()) return std::nullopt;
  const std::string whole = platform::WholeDiskOf(DiskEnv().sysRoot, kname);
  if (whole == kname) return std::nullopt;  // a whole disk is not a partition
  // The kernel may have read a new table since the disk was listed (a format
  // run names the new partition by the node it finds then).
  if (auto disk = platform::ReadBlockDevice(DiskEnv().sysRoot, whole)) {
    for (const auto& pn : disk->partitions)
      if (pn.name == kname) return PartitionOfNode{whole, pn};
  }
  return std::nullopt;
}

bool IsSystemDiskPath(const std::string& devicePath) {
  const DiskEnvironment env = DiskEnv();
  const std::set<std::string> system = detail::SystemDisks();
  if (platform::ChainTouchesSystem(env.sysRoot, env.devRoot,
                                   platform::StorageChainOfPath(env.sysRoot, env.devRoot, devicePath), system))
    return true;
  std::string name = KernelNameOfNode(devicePath);
  if (name.empty()) return false;
  return system.count(platform::WholeDiskOf(env.sysRoot, name)) > 0;
}

// Whether the descriptor, as opened, reaches a system disk: through its device
// number, and through loop devices down to the file or disk under them.
static bool FdIsOnSystemDisk(int fd) {
  const DiskEnvironment env = DiskEnv();
  const std::set<std::string> system = detail::SystemDisks();
  if (platform::ChainTouchesSystem(env.sysRoot, env.devRoot, platform::StorageChainOfFd(env.sysRoot, env.devRoot, fd),
                                   system))
    return true;
  unsigned maj = 0, min = 0;
  if (!platform::FdDeviceNumber(fd, &maj, &min)) return false;
  std::string name = platform::BlockNameOfDev(env.sysRoot, maj, min);
  if (name.empty()) return false;
  return system.count(platform::WholeDiskOf(env.sysRoot, name)) > 0;
}

// What a name given to GetDriveHandle leads to.
struct Target {
  VolumeRef volume;       // the file to open (disk, image or partition node) and the range in it
  bool image = false;
  std::string wholeDisk;  // sysfs name of the disk; "" for image files
  std::set<std::pair<unsigned, unsigned>> mountDevices;
};

static bool ResolveVolume(const std::string& name, Target* t) {
  if (auto range = VolumeRef::Parse(name)) {
    auto src = detail::DiskSourceByPath(range->disk);
    if (!src) return false;
    auto part = FindMbrPartition(range->disk, range->offset);
    if (!part) return false;
    {
      UniqueFd dfd(platform::OpenDevice(range->disk, false, false));
      const int64_t deviceSize = dfd ? platform::DeviceSize(dfd.get()) : -1;
      if (deviceSize < 0 || range->offset + part->length > deviceSize) {
        Log("> GetDriveHandle: the partition at byte " + std::to_string(range->offset) + " of " + range->disk +
            " reaches past the end of the disk");
        return false;
      }
    }
    t->volume = *range;
    t->volume.length = part->length;
    t->image = src->image;
    if (!src->image) {
      t->wholeDisk = src->block.name;
      for (const auto& pn : src->block.partitions)
        if (pn.startBytes == range->offset) t->mountDevices.insert({pn.major, pn.minor});
    }
    return true;
  }
  auto located = LocatePartitionNode(name);
  if (!located || !detail::DiskSourceByPath(DiskEnv().devRoot + "/" + located->wholeDisk)) return false;
  t->volume = {name, 0, located->partition.sizeBytes};
  t->wholeDisk = located->wholeDisk;
  t->mountDevices.insert({located->partition.major, located->partition.minor});
  return true;
}

// Takes the exclusive claim on h's descriptor: the hold on the storage under
// it (see StorageLock), plus O_EXCL on a block device. 0 or -errno.
static int TakeExclusive(DriveHandle& h) {
  std::string why;
  StorageLock storage = StorageLock::Acquire(h.devicePath(), &why);
  if (!storage.held()) {
    Log("> GetDriveHandle: " + why);
    return storage.error() != 0 ? -storage.error() : -EBUSY;
  }
  if (!h.imageFile()) {
    UniqueFd fd(platform::OpenDevice(h.devicePath(), h.writable(), true));
    if (!fd) return fd.get();
    // The exclusive open takes the place of the first descriptor: same number.
    if (::dup2(fd.get(), h.value()) < 0) return -errno;
  }
  h.setStorage(std::move(storage));
  return 0;
}

DriveHandle GetDriveHandle(int DriveIndex, const std::string& DriveLetter, bool WriteAccess, bool Lock) {
  if (WriteAccess && CurrentDisk.SystemDisk) {
    RefuseSystemDrive();
    return {};
  }
  const std::string access = WriteAccess ? " for write access" : " for read access";

  if (DriveLetter.empty()) {
    auto src = detail::DiskSourceAt(DriveIndex);
    if (!src) {
      Log("> GetDriveHandle: Error no PhysicalDrive" + std::to_string(DriveIndex));
      return {};
    }
    // A job works on the disk the user selected; if the list has changed since,
    // the same number may now name another disk.
    if ((WriteAccess || Lock) && CurrentDisk.DiskNumber == DriveIndex && !CurrentDisk.DevicePath.empty() &&
        CurrentDisk.DevicePath != src->path) {
      Log("> GetDriveHandle: Error PhysicalDrive" + std::to_string(DriveIndex) + " is now " + src->path +
          ", not the selected " + CurrentDisk.DevicePath);
      return {};
    }
    const bool system = src->image ? IsSystemDiskPath(src->path) : detail::SystemDisks().count(src->block.name) > 0;
    if (system && (WriteAccess || Lock)) {
      RefuseSystemDrive();
      return {};
    }
    if (Lock && !src->image) {
      // A file system on the whole device (no partition table) is mounted
      // through the disk's own node: that mount goes too.
      std::set<std::pair<unsigned, unsigned>> devs;
      if (src->block.major != 0) devs.insert({src->block.major, src->block.minor});
      for (const auto& pn : src->block.partitions) devs.insert({pn.major, pn.minor});
      std::vector<std::string> steps;
      platform::UnmountDevices(DiskEnv().procRoot, devs, &steps);
      for (const auto& s : steps) Log("> GetDriveHandle: " + s);
    }
    int fd = platform::OpenDevice(src->path, WriteAccess, false);
    if (fd < 0) {
      Log("> GetDriveHandle: Error " + std::to_string(-fd) + " could not open drive " + src->path);
      return {};
    }
    DriveHandle h(fd, 0, src->path, src->path, WriteAccess, false, src->image);
    Log("> GetDriveHandle: Success Open " + src->path + access);
    if (Lock) {
      int rc = TakeExclusive(h);
      if (rc != 0) {
        Log("> GetDriveHandle: Error " + std::to_string(-rc) + " LOCK drive " + src->path);
        return {};
      }
      h.MarkLocked();
      h.setDiskClaim(true);
      AddClaim(src->path);
      Log("> GetDriveHandle: Success LOCK " + src->path);
    }
    if (WriteAccess && FdIsOnSystemDisk(h.value())) {
      RefuseSystemDrive();
      return {};
    }
    return h;
  }

  Target t;
  if (!ResolveVolume(DriveLetter, &t) ||
      (t.image ? IsSystemDiskPath(t.volume.disk) : detail::SystemDisks().count(t.wholeDisk) > 0)) {
    RefuseVolume(DriveLetter);
    return {};
  }
  if (Lock && !t.mountDevices.empty()) {
    std::vector<std::string> steps;
    platform::UnmountDevices(DiskEnv().procRoot, t.mountDevices, &steps);
    for (const auto& s : steps) Log("> GetDriveHandle: " + s);
  }
  int fd = platform::OpenDevice(t.volume.disk, WriteAccess, false);
  if (fd < 0) {
    Log("> GetDriveHandle: Error " + std::to_string(-fd) + " could not open drive " + DriveLetter);
    return {};
  }
  DriveHandle h(fd, t.volume.offset, DriveLetter, t.volume.disk, WriteAccess, false, t.image);
  h.setLength(t.volume.length);
  h.setMountDevices(t.mountDevices);
  Log("> GetDriveHandle: Success Open " + DriveLetter + access);
  if (Lock) {
    bool locked = false;
    const std::string disk = t.image ? t.volume.disk : DiskEnv().devRoot + "/" + t.wholeDisk;
    if (ProcessHoldsDisk(disk)) {
      Log("> GetDriveHandle: Success LOCK " + DriveLetter + " (disk held by this job)");
      locked = true;
    }
    for (int attempt = 1; attempt <= 20 && !locked; ++attempt) {
      int rc = TakeExclusive(h);
      if (rc == 0) {
        Log("> GetDriveHandle: Success LOCK " + DriveLetter);
        locked = true;
        break;
      }
      Log("> GetDriveHandle: Try #" + std::to_string(attempt) + " Error " + std::to_string(-rc) + " LOCK drive " +
          DriveLetter);
      PauseMs(500);
    }
    if (!locked) return {};
    h.MarkLocked();
  }
  if (WriteAccess && FdIsOnSystemDisk(h.value())) {
    RefuseSystemDrive();
    return {};
  }
  return h;
}

// ---- sector transfers ---------------------------------------------------------------

static bool TransferRange(const DriveHandle& h, int64_t SectorSize, int64_t StartSector, int64_t nSectors,
                          int64_t* bytes, int64_t* position) {
  if (!h.valid() || SectorSize <= 0 || StartSector < 0 || nSectors < 0) return false;
  const int64_t maxv = std::numeric_limits<int64_t>::max();
  if (nSectors > maxv / SectorSize || StartSector > maxv / SectorSize) return false;
  *bytes = nSectors * SectorSize;
  int64_t rel = StartSector * SectorSize;
  if (rel > maxv - h.offset() || *bytes > maxv - rel - h.offset()) return false;
  if (h.length() > 0 && rel + *bytes > h.length()) return false;  // never past the volume's end
  *position = h.offset() + rel;
  return true;
}

static std::string Triple(int64_t s, int64_t n, int64_t ss) {
  return "StartSector:" + std::to_string(s) + ", nSectors:" + std::to_string(n) + ", SectorSize:" + std::to_string(ss);
}

int64_t read_sectors(const DriveHandle& h, int64_t SectorSize, int64_t StartSector, int64_t nSectors, void* Buffer) {
  int64_t bytes = 0, pos = 0;
  if (!TransferRange(h, SectorSize, StartSector, nSectors, &bytes, &pos) || (bytes > 0 && Buffer == nullptr)) {
    Log("> read_sectors: Could not access sector " + std::to_string(StartSector));
    return 0;
  }
  int64_t done = 0;
  bool failed = false;
  auto* p = static_cast<char*>(Buffer);
  while (done < bytes) {
    ssize_t r = ::pread(h.value(), p + done, static_cast<size_t>(bytes - done), pos + done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      failed = r < 0;
      break;
    }
    done += r;
  }
  if (failed || done < bytes)
    Log("> read_sectors: Error " + Triple(StartSector, nSectors, SectorSize));
  else
    Log("> read_sectors: Success " + Triple(StartSector, nSectors, SectorSize));
  return done;
}

int64_t write_sectors(const DriveHandle& h, int64_t SectorSize, int64_t StartSector, int64_t nSectors,
                      const void* Buffer) {
  int64_t bytes = 0, pos = 0;
  if (!TransferRange(h, SectorSize, StartSector, nSectors, &bytes, &pos) || (bytes > 0 && Buffer == nullptr)) {
    Log("> write_sectors: Could not access sector " + std::to_string(StartSector));
    return 0;
  }
  int64_t done = 0;
  int err = 0;
  const auto* p = static_cast<const char*>(Buffer);
  while (done < bytes) {
    ssize_t r = ::pwrite(h.value(), p + done, static_cast<size_t>(bytes - done), pos + done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      err = r < 0 ? errno : ENOSPC;
      break;
    }
    done += r;
  }
  if (done < bytes)
    Log("> write_sectors: " + std::string(std::strerror(err)) + " " + Triple(StartSector, nSectors, SectorSize));
  return done;
}

int FlushDrive(const DriveHandle& h) {
  if (h.valid() && ::fsync(h.value()) == 0) return 1;
  Log("> FlushDrive: Error " + std::string(std::strerror(h.valid() ? errno : EBADF)) + " for " + h.name());
  return 0;
}

int UpdateDiskProperties(const DriveHandle& h) {
  if (!h.valid()) {
    Log("> UpdateDiskProperties: invalid handle");
    return 0;
  }
  if (h.imageFile()) {
    Log("> UpdateDiskProperties: " + h.name() + " is an image file, nothing to re-read");
    return 1;
  }
  int rc = platform::RereadPartitions(h.value());
  if (rc == 0) {
    Log("> UpdateDiskProperties: Success re-read partition table of " + h.name());
    return 1;
  }
  if (rc == -EINVAL || rc == -EBUSY) {
    Log("> UpdateDiskProperties: " + h.name() + ": " + std::strerror(-rc) +
        ", the kernel re-reads the table when the disk is released");
    return 1;
  }
  Log("> UpdateDiskProperties: Error " + std::string(std::strerror(-rc)) + " for " + h.name());
  return 0;
}

// ---- unmount, unlock, end section --------------------------------------------------

int UnmountDrive(DriveHandle& h) {
  int left = 0;
  if (h.valid() && !h.mountDevices().empty()) {
    std::vector<std::string> steps;
    left = platform::UnmountDevices(DiskEnv().procRoot, h.mountDevices(), &steps);
    for (const auto& s : steps) Log("> UnmountDrive: " + s);
  }
  if (!h.valid() || left != 0) {
    Log("> Error unmount drive");
    return 0;
  }
  Log("> Success unmount drive");
  return 1;
}

int UnlockDrive(DriveHandle& h) {
  bool ok = false;
  if (h.valid() && h.locked()) {
    if (h.imageFile()) {
      ok = true;
    } else {
      // Replace the exclusive open by a plain one under the same number.
      UniqueFd fd(platform::OpenDevice(h.devicePath(), h.writable(), false));
      ok = fd && ::dup2(fd.get(), h.value()) >= 0;
    }
  }
  if (!ok) {
    Log("> Error unlock drive");
    return 0;
  }
  h.releaseStorage();
  if (h.holdsDiskClaim()) {
    DropClaim(h.devicePath());
    h.setDiskClaim(false);
  }
  h.MarkUnlocked();
  Log("> Success unlock drive");
  return 1;
}

void FinishUnlockClose(const std::string& op, const std::string& handleName, DriveHandle& h) {
  if (!h.valid()) return;
  Log("> " + (op.empty() ? std::string() : op + ": ") + "Finish UnlockClose " + handleName + " = " +
      std::to_string(h.value()));
  if (h.locked()) UnlockDrive(h);
  h.Close();
}

void FinishUnlockClose(const std::string& op, DriveHandle& h) { FinishUnlockClose(op, h.name(), h); }

}  // namespace fk
