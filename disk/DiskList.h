// The list of physical disks, their four primary MBR slots and volumes, the
// "Destination Disk" tree built from it, and the selected disk `CurrentDisk`.
// Block devices come from sysfs; disk image files added with AddImageDisk are
// listed after them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Ui.h"
#include "platform/Disks.h"

namespace fk {

// Drive types as the platform reports them.
inline constexpr int DRIVE_UNKNOWN = 0;
inline constexpr int DRIVE_NO_ROOT_DIR = 1;
inline constexpr int DRIVE_REMOVABLE = 2;
inline constexpr int DRIVE_FIXED = 3;
inline constexpr int DRIVE_REMOTE = 4;
inline constexpr int DRIVE_CDROM = 5;
inline constexpr int DRIVE_RAMDISK = 6;

// Storage bus types (numbers of BusTypeToText).
inline constexpr int BusTypeUnknown = 0;
inline constexpr int BusTypeScsi = 1;
inline constexpr int BusTypeAta = 3;
inline constexpr int BusTypeUsb = 7;
inline constexpr int BusTypeSata = 11;
inline constexpr int BusTypeSd = 12;
inline constexpr int BusTypeVirtual = 14;
inline constexpr int BusTypeFileBackedVirtual = 15;
inline constexpr int BusTypeNvme = 17;

inline constexpr int kMaxDiskNumber = 49;  // disk numbers 0..49 are examined
inline constexpr int kPartitionSlots = 50;

// Geometry of a disk (255 heads, 63 sectors per track, as reported for such disks).
struct DiskGeometry {
  int64_t Cylinders = 0;
  uint32_t MediaType = 0;  // 11 removable, 12 fixed
  uint32_t TracksPerCylinder = 0;
  uint32_t SectorsPerTrack = 0;
  uint32_t BytesPerSector = 0;
  int64_t DiskSize = 0;  // bytes
};

struct PartitionRecord {
  int64_t StartingOffset = 0;   // byte offset on the disk
  int64_t PartitionLength = 0;  // bytes; 0 marks an empty slot
  uint32_t HiddenSectors = 0;   // start LBA
  uint32_t PartitionNumber = 0; // slot + 1 for used slots
  uint8_t PartitionType = 0;
  uint8_t BootIndicator = 0;
  uint8_t RecognizedPartition = 0;
  uint8_t RewritePartition = 0;
  int32_t ListIndex = 0;        // tree line of the partition; 0 while not shown
  // Volume name: the partition's device node ("/dev/sdb1") when the kernel has
  // one, else empty. Always usable with GetDriveHandle: see VolumeAccessName().
  std::string DriveLetter;
  std::string VolumeName;       // label, empty if none
  std::string FileSystemName;   // "FAT32", "exFAT", "NTFS", ... empty if none
  bool BeyondDiskEnd = false;   // the MBR entry reaches past the disk's end: no job touches it
  bool OverlapsAnother = false; // the MBR entry shares sectors with another entry: no job touches it
  bool Unusable() const { return BeyondDiskEnd || OverlapsAnother; }
  // Why a job refuses the partition ("" when usable).
  std::string UnusableText() const {
    return BeyondDiskEnd ? "The partition does not fit the disk"
                         : OverlapsAnother ? "The partition overlaps another partition" : "";
  }
};

struct DiskRecord {
  int32_t ListIndex = -1;  // tree line of the disk; -1 while not shown
  int32_t DiskNumber = 0;  // position in AllDrives (block devices by name, then image files)
  int32_t PartitionCount = 0;  // 4 when the MBR was read, 0 when not an MBR disk
  std::string DriveLetters;    // volume names of the disk joined by one blank
  uint32_t DiskSignature = 0;
  std::array<PartitionRecord, kPartitionSlots> Partition{};
  DiskGeometry Geometry;
  int32_t DriveType = 0;
  std::string DriveTypeName;
  std::string BusType;
  std::string ProductId;
  std::string VendorId;
  int64_t Size = 0;
  int64_t ChsSectors = 0;
  uint8_t SelectedPartition = 0;  // in CurrentDisk: 0 whole disk, 1..4 slot 0..3

  // Linux additions.
  std::string DevicePath;      // "/dev/sdb", "/dev/loop3" or the image file path
  std::string KernelName;      // "sdb"; empty for an image file
  bool IsImageFile = false;    // a disk image file added with AddImageDisk
  bool IsLoop = false;         // a loop block device
  bool SystemDisk = false;     // holds a system mount, active swap or the backing file of one
};

// The list of the last enumeration, in disk-number order.
extern std::vector<DiskRecord> AllDrives;
// The disk (and in SelectedPartition the partition) the user selected.
extern DiskRecord CurrentDisk;
// Milliseconds (tick count) of the last accepted device-change burst.
extern int64_t LastDeviceEventTime;

// Where the disk layer looks for devices. Tests point these at fake trees.
struct DiskEnvironment {
  std::string sysRoot = "/sys";
  std::string procRoot = "/proc";
  std::string devRoot = "/dev";
};
DiskEnvironment& DiskEnv();

// Whether fixed disks are shown (the EnableFixedDisks setting). Defaults to off.
void SetEnableFixedDisksSource(std::function<bool()> source);
bool EnableFixedDisksOn();

// Disk image files shown as disks (bus "FileBackedVirtual", drive type Fixed),
// after the block devices. AddImageDisk returns false for anything that is not
// a readable regular file.
bool AddImageDisk(const std::string& path);
void ClearImageDisks();
std::vector<std::string> ImageDisks();

int GetAllDrives();
int UpdateAllDrives();
int SetCurrentDisk();
// The status that asks for a selection; jobs show it when nothing is selected.
inline constexpr const char* kSelectDriveStatus = "Select the USB Flash Drive, please";
// For callers without a tree (CLI, tests): selects the tree line of the disk at
// diskIndex of AllDrives (slot 0) or of its partition slot 1..4, then fills
// CurrentDisk as SetCurrentDisk does. Returns SetCurrentDisk's result; 0 when
// the disk or slot is not shown.
int SelectDisk(int diskIndexInAllDrives, int partitionSlot);
// The refresh button: remembers the selected line, rebuilds the tree and
// selects the same line index again when one was selected.
int RefreshDrives();

class DriveHandle;
int64_t DriveSize(const DriveHandle& handle);
int PhysicalDriveType(int DiskNumber);
std::string DriveTypeToText(int driveType);
std::string BusTypeToText(int busType);
// File-system name and label of a volume (device node or "<disk>@@<offset>").
std::string DriveNameOfFS(const std::string& root);
std::string DriveNameOfVol(const std::string& root);

// Where a partition device node lies: its whole disk (sysfs name) and the
// kernel's entry for it, read afresh from sysfs. nullopt for anything else.
struct PartitionOfNode {
  std::string wholeDisk;
  platform::PartitionNode partition;
};
std::optional<PartitionOfNode> LocatePartitionNode(const std::string& node);

// The name GetDriveHandle accepts for slot `slot` (0..3) of `disk`: its device
// node, or "<disk path>@@<byte offset>" when the kernel has none. "" for an empty slot.
std::string VolumeAccessName(const DiskRecord& disk, int slot);

// The tree model last given to the UI.
std::vector<TreeLine> DriveTreeLines();

// Icon numbers of the tree lines.
inline constexpr int kDiskIcon = 0;
inline constexpr int kPartitionIcon = 1;

}  // namespace fk
