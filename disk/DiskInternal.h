// Shared between the files of the disk layer; not for other subsystems.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "disk/DiskList.h"
#include "platform/Disks.h"

namespace fk::detail {

// One disk of the last enumeration, by disk number.
struct DiskSource {
  std::string path;  // device node or image file
  bool image = false;
  platform::BlockDevice block;  // for block devices
};
std::optional<DiskSource> DiskSourceAt(int diskNumber);
// The disk source whose path equals path.
std::optional<DiskSource> DiskSourceByPath(const std::string& path);

// Whether path is a file that holds a disk of the last enumeration: an image
// disk, or the backing file of a listed loop device.
bool PathIsListedDisk(const std::string& path);

// Fresh system-disk set of the current environment (sysfs names).
std::set<std::string> SystemDisks();

// Fills the four partition slots of d from its sector 0 (bytesPerSector
// bytes per LBA); a slot that reaches past d.Size is marked BeyondDiskEnd, slots
// that share sectors are marked OverlapsAnother.
// False when the disk is not MBR-partitioned (*why says why).
bool LayoutFromSector(const uint8_t* sector, size_t length, int64_t bytesPerSector, DiskRecord& d,
                      std::string* why);

// Selected line of the tree as the disk layer knows it.
int SelectedLine();

}  // namespace fk::detail
