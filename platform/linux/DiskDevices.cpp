// Touching block devices and image files: opening, size queries, partition
// re-read, unmounting, libblkid probing, eject and loop detach.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Disks.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace fk::platform {

int OpenDevice(const std::string& path, bool write, bool exclusive) {
  int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | (exclusive ? O_EXCL : 0);
  int fd = ::open(path.c_str(), flags);
  return fd >= 0 ? fd : -errno;
}

int LockFile(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : -errno; }

int64_t DeviceSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -errno;
  if (S_ISREG(st.st_mode)) return st.st_size;
  uint64_t size = 0;
  if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return -errno;
  return static_cast<int64_t>(size);
}

int LogicalSectorSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -errno;
  if (!S_ISBLK(st.st_mode)) return 512;
  int ss = 0;
  if (::ioctl(fd, BLKSSZGET, &ss) != 0) return -errno;
  return ss;
}

int DropDeviceCache(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -errno;
  if (S_ISBLK(st.st_mode)) {
    ::fsync(fd);
    return ::ioctl(fd, BLKFLSBUF, 0) == 0 ? 0 : -errno;
  }
  ::fdatasync(fd);
  const int rc = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  return rc == 0 ? 0 : -rc;
}

bool IsBlockDevicePath(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

int64_t PathSize(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -errno;
  return DeviceSize(fd.get());
}

int RereadPartitions(int fd) { return ::ioctl(fd, BLKRRPART) == 0 ? 0 : -errno; }

bool FdDeviceNumber(int fd, unsigned* maj, unsigned* min) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  *maj = major(st.st_rdev);
  *min = minor(st.st_rdev);
  return true;
}

int UnmountDevices(const std::string& procRoot, const std::set<std::pair<unsigned, unsigned>>& devices,
                   std::vector<std::string>* log) {
  auto mountsOf = [&] {
    std::vector<MountEntry> out;
    for (auto& m : ParseMountInfo(ReadWholeFile(procRoot + "/self/mountinfo")))
      if (devices.count({m.major, m.minor})) out.push_back(std::move(m));
    return out;
  };
  auto mounts = mountsOf();
  // Deepest mount points first, so that nested mounts go before their parents.
  std::sort(mounts.begin(), mounts.end(),
            [](const MountEntry& a, const MountEntry& b) { return a.mountPoint.size() > b.mountPoint.size(); });
  for (const auto& m : mounts) {
    int rc = ::umount2(m.mountPoint.c_str(), 0);
    if (log)
      log->push_back(rc == 0 ? "umount " + m.mountPoint + " (" + m.source + ")"
                             : "umount " + m.mountPoint + " failed: " + std::strerror(errno));
  }
  return static_cast<int>(mountsOf().size());
}

ProbeResult ProbeVolume(const std::string& path, int64_t offset, int64_t size) {
  ProbeResult r;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    r.error = errno;
    return r;
  }
  blkid_probe pr = blkid_new_probe();
  if (pr && blkid_probe_set_device(pr, fd.get(), offset, size) == 0) {
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    blkid_probe_enable_partitions(pr, 0);
    if (blkid_do_safeprobe(pr) == 0) {
      const char* type = nullptr;
      const char* label = nullptr;
      const char* version = nullptr;
      blkid_probe_lookup_value(pr, "TYPE", &type, nullptr);
      blkid_probe_lookup_value(pr, "LABEL", &label, nullptr);
      blkid_probe_lookup_value(pr, "VERSION", &version, nullptr);
      std::string t = type ? type : "";
      std::string v = version ? version : "";
      if (t == "vfat") r.fsName = v.empty() ? "FAT" : v;  // FAT12 / FAT16 / FAT32
      else if (t == "exfat") r.fsName = "exFAT";
      else if (t == "ntfs") r.fsName = "NTFS";
      else if (t == "hfsplus") r.fsName = "HFS+";
      else if (t == "udf") r.fsName = "UDF";
      else {
        r.fsName = t;
        std::transform(r.fsName.begin(), r.fsName.end(), r.fsName.begin(), ::toupper);
      }
      r.label = label ? Trim(label) : "";
      r.ok = !t.empty();
    }
  }
  if (pr) blkid_free_probe(pr);
  return r;
}

// ---- eject --------------------------------------------------------------------

static void ScsiCommand(int fd, const unsigned char* cdb, unsigned char len) {
  unsigned char sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.cmd_len = len;
  io.cmdp = const_cast<unsigned char*>(cdb);
  io.dxfer_direction = SG_DXFER_NONE;
  io.sbp = sense;
  io.mx_sb_len = sizeof(sense);
  io.timeout = 10000;
  (void)::ioctl(fd, SG_IO, &io);  // failures ignored: not every bridge knows these commands
}

static bool WriteSysfs(const std::string& path, const std::string& value, std::vector<SysfsWrite>* writes) {
  bool ok = false;
  {
    std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    if (out) {
      out << value;
      out.flush();
      ok = static_cast<bool>(out);
    }
  }
  if (writes) writes->push_back({path, value, ok});
  return ok;
}

static bool IsUsbDeviceDir(const fs::path& dir) {
  std::string ue = ReadWholeFile((dir / "uevent").string());
  return ue.find("DEVTYPE=usb_device") != std::string::npos;
}

bool ManualPowerOff(const std::string& sysRoot, const std::string& name, int fd, std::vector<SysfsWrite>* writes) {
  std::error_code ec;
  fs::path dir = fs::canonical(sysRoot + "/block/" + name, ec);
  if (ec) return false;
  fs::path usb;
  for (fs::path p = dir; p.has_relative_path() && p.filename() != "devices"; p = p.parent_path())
    if (IsUsbDeviceDir(p)) {
      usb = p;
      break;
    }
  if (usb.empty()) return false;
  if (fd >= 0) {
    ::fsync(fd);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
      const unsigned char syncCache[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
      const unsigned char stopUnit[6] = {0x1B, 0, 0, 0, 0x02, 0};  // stop, eject (LoEj)
      ScsiCommand(fd, syncCache, sizeof(syncCache));
      ScsiCommand(fd, stopUnit, sizeof(stopUnit));
    }
  }
  fs::path scsiDelete = dir / "device" / "delete";
  if (fs::exists(scsiDelete, ec)) WriteSysfs(fs::canonical(scsiDelete, ec).string(), "1", writes);
  return WriteSysfs((usb / "remove").string(), "1", writes);
}

namespace {
struct BusRef {
  sd_bus* bus = nullptr;
  ~BusRef() { sd_bus_flush_close_unref(bus); }
};
struct MsgRef {
  sd_bus_message* m = nullptr;
  ~MsgRef() { sd_bus_message_unref(m); }
};
struct ErrRef {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~ErrRef() { sd_bus_error_free(&e); }
};
}  // namespace

int UDisksPowerOff(const std::string& devicePath, std::string* error) {
  BusRef bus;
  if (sd_bus_open_system(&bus.bus) < 0) {
    if (error) *error = "no system bus";
    return -1;
  }
  const char* service = "org.freedesktop.UDisks2";
  ErrRef err;
  MsgRef call, reply;
  if (sd_bus_message_new_method_call(bus.bus, &call.m, service, "/org/freedesktop/UDisks2/Manager",
                                     "org.freedesktop.UDisks2.Manager", "ResolveDevice") < 0 ||
      sd_bus_message_append(call.m, "a{sv}", 1, "path", "s", devicePath.c_str()) < 0 ||
      sd_bus_message_append(call.m, "a{sv}", 0) < 0) {
    if (error) *error = "cannot build ResolveDevice";
    return -1;
  }
  if (sd_bus_call(bus.bus, call.m, 10 * 1000 * 1000, &err.e, &reply.m) < 0) {
    if (error) *error = err.e.message ? err.e.message : "ResolveDevice failed";
    bool absent = sd_bus_error_has_name(&err.e, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                  sd_bus_error_has_name(&err.e, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
                  sd_bus_error_has_name(&err.e, SD_BUS_ERROR_UNKNOWN_OBJECT);
    return absent ? -1 : 0;
  }
  const char* blockObj = nullptr;
  if (sd_bus_message_enter_container(reply.m, 'a', "o") < 0 || sd_bus_message_read(reply.m, "o", &blockObj) <= 0) {
    if (error) *error = "device unknown to udisks2";
    return 0;
  }
  std::string block = blockObj;
  ErrRef err2;
  char* drive = nullptr;
  if (sd_bus_get_property_string(bus.bus, service, block.c_str(), "org.freedesktop.UDisks2.Block", "Drive", &err2.e,
                                 &drive) < 0 ||
      drive == nullptr || std::string(drive) == "/") {
    if (error) *error = "no drive object";
    std::free(drive);
    return 0;
  }
  std::string driveObj = drive;
  std::free(drive);
  ErrRef err3;
  MsgRef call2, reply2;
  if (sd_bus_message_new_method_call(bus.bus, &call2.m, service, driveObj.c_str(), "org.freedesktop.UDisks2.Drive",
                                     "PowerOff") < 0 ||
      sd_bus_message_append(call2.m, "a{sv}", 1, "auth.no_user_interaction", "b", 1) < 0) {
    if (error) *error = "cannot build PowerOff";
    return 0;
  }
  if (sd_bus_call(bus.bus, call2.m, 30 * 1000 * 1000, &err3.e, &reply2.m) < 0) {
    if (error) *error = err3.e.message ? err3.e.message : "PowerOff failed";
    return 0;
  }
  return 1;
}

int DetachLoop(const std::string& devicePath) {
  UniqueFd fd(::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -errno;
  return ::ioctl(fd.get(), LOOP_CLR_FD, 0) == 0 ? 0 : -errno;
}

}  // namespace fk::platform
