// The operating-system seam of the disk layer. Parsing (sysfs trees, mountinfo,
// swaps, MBR sectors) is kept apart from touching devices; every root directory
// is a parameter so that tests can point them at fake trees.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fk::platform {

// ---- sysfs -------------------------------------------------------------------

struct PartitionNode {
  std::string name;     // "sdb1"
  int number = 0;       // the `partition` attribute
  int64_t startBytes = 0;
  int64_t sizeBytes = 0;
  unsigned major = 0, minor = 0;
};

struct BlockDevice {
  std::string name;         // "sdb"
  std::string sysPath;      // resolved directory in the sysfs tree
  std::string vendor;       // trimmed; empty when none
  std::string model;        // trimmed (model, or name for MMC/SD)
  int busType = 0;          // bus type number (7 USB, 12 SD, 17 NVMe, ...)
  bool removable = false;   // the `removable` attribute
  bool hotplug = false;     // a USB or MMC ancestor
  int64_t sizeBytes = 0;    // `size` x 512
  int logicalBlockSize = 512;
  bool isLoop = false;
  std::string backingFile;  // loop devices: the backing file, "" when none
  unsigned major = 0, minor = 0;
  std::vector<PartitionNode> partitions;  // kernel partition nodes, by number
};

// Whether a block device name is a kind of whole disk the program lists.
bool IsListedDiskName(std::string_view name);
// Whole disks of <sysRoot>/block that the program lists, sorted by name (loop
// devices only with a backing file).
std::vector<BlockDevice> EnumerateBlockDevices(const std::string& sysRoot);
// One device by name; nullopt when <sysRoot>/class/block/<name> (or block/<name>) is missing.
std::optional<BlockDevice> ReadBlockDevice(const std::string& sysRoot, const std::string& name);
// Bus type from the ancestors' `subsystem` links of a resolved sysfs device path.
int ResolveBusType(const std::string& resolvedSysPath, const std::string& name);
// First line of a sysfs attribute file, trailing blanks and line ends removed.
std::optional<std::string> ReadAttr(const std::string& path);
std::string Trim(std::string_view s);
// Name of the device <sysRoot>/dev/block/<major>:<minor> leads to, "" when none.
std::string BlockNameOfDev(const std::string& sysRoot, unsigned major, unsigned minor);
// The whole disk of a block device name (a partition's parent; a disk itself).
std::string WholeDiskOf(const std::string& sysRoot, const std::string& name);

// ---- MBR ---------------------------------------------------------------------

struct MbrEntry {
  uint8_t bootIndicator = 0;
  uint8_t type = 0;
  uint32_t startLba = 0;
  uint32_t sectors = 0;
};
struct MbrLayout {
  bool valid = false;          // 55 AA present and no protective GPT entry
  bool gpt = false;            // a 0xEE entry
  uint32_t signature = 0;
  std::array<MbrEntry, 4> entries{};
};
// Decodes the four entries of a sector that carries 55 AA (the only place
// that reads MBR entries); entries stay zero without it.
MbrLayout ParseMbr(const uint8_t* sector, size_t length);
// Writes boot indicator, type, start and length of entry slot (0..3) into a
// 512-byte MBR sector; its CHS bytes stay as they are.
void StoreMbrEntry(uint8_t* sector, int slot, const MbrEntry& entry);

// ---- mounts and swaps ----------------------------------------------------------

struct MountEntry {
  unsigned major = 0, minor = 0;
  std::string root;         // field 4
  std::string mountPoint;   // field 5, unescaped
  std::string mountOptions; // field 6
  std::string fsType;
  std::string source;       // unescaped
  std::string superOptions;
};
std::vector<MountEntry> ParseMountInfo(std::string_view text);
struct SwapEntry {
  std::string fileName;  // unescaped
  std::string type;      // "partition" or "file"
};
std::vector<SwapEntry> ParseSwaps(std::string_view text);
std::string ReadWholeFile(const std::string& path);

// Mount points whose disks are system disks.
bool IsSystemMountPoint(std::string_view mountPoint);

// Whole-disk names (as in sysfs) that hold a system mount, active swap, or the
// backing file of a loop device that is such a disk, following partitions to
// their disk and device-mapper/md through slaves/ to the leaves.
std::set<std::string> FindSystemDisks(const std::string& procRoot, const std::string& sysRoot);

// ---- devices -------------------------------------------------------------------

// Opens a device or image file; O_EXCL when exclusive. Returns fd or -errno.
int OpenDevice(const std::string& path, bool write, bool exclusive);
// flock(LOCK_EX|LOCK_NB); 0 or -errno.
int LockFile(int fd);
// Size in bytes (BLKGETSIZE64, or the file size); -errno on failure.
int64_t DeviceSize(int fd);
// Logical sector size (BLKSSZGET, 512 for files); -errno on failure.
int LogicalSectorSize(int fd);
// BLKRRPART; 0 or -errno.
int RereadPartitions(int fd);
// Drops what the page cache holds of fd's data, so the next read comes from
// the device (BLKFLSBUF for block devices, POSIX_FADV_DONTNEED for files). 0 or -errno.
int DropDeviceCache(int fd);
// Whether path is a block device.
bool IsBlockDevicePath(const std::string& path);
// Device number of a block device node; false when path is none.
bool BlockDeviceNumber(const std::string& path, unsigned* major, unsigned* minor);
// Size in bytes of an image file or block device named by path; -errno on failure.
int64_t PathSize(const std::string& path);
// Whether fd is a block device; major/minor through fstat.
bool FdDeviceNumber(int fd, unsigned* major, unsigned* minor);
// Unmounts every mount (from <procRoot>/self/mountinfo) of the given devices.
// Returns the number still mounted afterwards (0 = all gone); *log gets one line per step.
int UnmountDevices(const std::string& procRoot, const std::set<std::pair<unsigned, unsigned>>& devices,
                   std::vector<std::string>* log);
// Unmounts one mount point (not lazily); 0 or -errno.
int UnmountPoint(const std::string& mountPoint);
// Mounts device again where the mountinfo entry says, with its options; 0 or -errno.
int MountAgain(const std::string& device, const MountEntry& entry);

// ---- volumes: label and file system through libblkid -------------------------

struct ProbeResult {
  bool ok = false;
  std::string fsName;   // "FAT32", "FAT16", "exFAT", "NTFS", "HFS+", "UDF", or the blkid type upper-cased
  std::string label;
  int error = 0;        // errno of the failed open, 0 when nothing was recognised
};
ProbeResult ProbeVolume(const std::string& path, int64_t offset, int64_t size);

// ---- eject ---------------------------------------------------------------------

// One file written by the manual eject steps.
struct SysfsWrite {
  std::string path;
  std::string value;
  bool ok = false;
};
// The manual power-off of a USB disk: SCSI SYNCHRONIZE CACHE and START STOP UNIT
// through SG_IO on fd (when fd >= 0; failures ignored), then "1" to the SCSI
// device's `delete` and "1" to the `remove` file of the parent USB device.
// Returns the files written, in order. ok=false when there is no USB parent.
bool ManualPowerOff(const std::string& sysRoot, const std::string& name, int fd,
                    std::vector<SysfsWrite>* writes);
// udisks2 over the system bus: ResolveDevice + Drive.PowerOff. 1 success,
// 0 refused, -1 when udisks2 is not on the bus.
int UDisksPowerOff(const std::string& devicePath, std::string* error);
// Detaches a loop device; 0 or -errno.
int DetachLoop(const std::string& devicePath);

}  // namespace fk::platform
