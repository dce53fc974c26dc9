// Builds fake sysfs / proc / dev trees in a scratch directory, shaped like the
// real ones (device directories under sys/devices, `subsystem` links, block,
// class/block and dev/block links), so the disk layer can be pointed at them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fk::test {

// An MBR partition entry to write into a fake disk file.
struct MbrPart {
  uint8_t type = 0x0B;
  bool active = false;
  uint32_t startLba = 2048;
  uint32_t sectors = 0;
};
// A 512-byte MBR sector with the given entries, signature and 55 AA.
std::string MakeMbr(const std::vector<MbrPart>& parts, uint32_t signature = 0x12345678);

struct FakePartition {
  std::string name;  // "sdb1"
  int number = 1;
  int64_t startSector = 2048;
  int64_t sectors = 0;
  unsigned major = 8, minor = 0;
};

struct FakeDisk {
  std::string name;  // "sdb"
  unsigned major = 8, minor = 0;
  // Device directory below sys/devices that holds "block/<name>", e.g.
  // "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0".
  std::string parentPath;
  // Directories (relative to sys/devices) and the subsystem they belong to.
  std::map<std::string, std::string> subsystems;
  std::map<std::string, std::string> drivers;   // directory -> driver name
  std::map<std::string, std::string> uevents;   // directory -> uevent text
  std::map<std::string, std::string> files;     // file (relative to sys/devices) -> content
  std::string vendor, model, mmcName;           // files of parentPath
  int removable = 0;
  int64_t sizeBytes = 0;
  int logicalBlockSize = 512;
  std::string backingFile;                      // loop devices
  std::vector<std::string> slaves;              // names under slaves/
  std::vector<FakePartition> partitions;
  bool makeDevFile = true;                      // create dev/<name> as a sparse file of sizeBytes
};

class FakeSystem {
 public:
  explicit FakeSystem(const std::string& root);
  std::string sys, proc, dev;

  void AddDisk(const FakeDisk& d);
  void SetMountInfo(const std::string& text);
  void SetSwaps(const std::string& text);
  // Path of the fake device file of a disk.
  std::string DevFile(const std::string& name) const { return dev + "/" + name; }
  // Absolute sysfs directory of a device (after AddDisk).
  std::string DeviceDir(const std::string& name) const;

 private:
  std::map<std::string, std::string> dirs_;
};

// The fake machine used by the disk tests: a USB stick with two labelled FAT32
// partitions (sdb), a USB enclosure with removable 0 (sdc), an SD card
// (mmcblk0), an NVMe disk holding / through LUKS on LVM (nvme0n1), two md RAID
// members holding /home (sda, sdd), a loop device mounted at /var whose backing
// file lies on a USB disk (loop0 on sdf), a loop device over a plain file in
// /home (loop1) and a GPT disk on SATA (sdg). Needs mkfs.fat for the labels.
void BuildStandardFakeMachine(FakeSystem& fs);

}  // namespace fk::test
