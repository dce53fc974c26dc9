// What a disk name finally stands on. A loop device is only a window onto its
// backing file or device, which may itself be a loop device: the storage under
// a name is the chain of whole disks and files down to the last one.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace fk::platform {

struct StorageLayer {
  std::string path;      // device node ("/dev/loop3", "/dev/sda") or file
  std::string diskName;  // sysfs name of the whole disk; "" for a file
  dev_t dev = 0;         // a file: st_dev; a disk: its device number
  ino_t ino = 0;         // a file: st_ino; a disk: 0
  bool isFile() const { return diskName.empty(); }
  bool sameStorage(const StorageLayer& o) const { return diskName == o.diskName && dev == o.dev && ino == o.ino; }
};

// The chain under path, top first: a partition or disk node gives its whole
// disk, then each loop's backing (followed through stacked loops), ending at a
// plain disk or a file. Empty when path cannot be reached. devRoot is where the
// disk nodes live.
std::vector<StorageLayer> StorageChainOfPath(const std::string& sysRoot, const std::string& devRoot,
                                             const std::string& path);
// The same for an open descriptor (a block device or a file).
std::vector<StorageLayer> StorageChainOfFd(const std::string& sysRoot, const std::string& devRoot, int fd);
// The same for a whole disk by its sysfs name.
std::vector<StorageLayer> StorageChainOfDisk(const std::string& sysRoot, const std::string& devRoot,
                                             const std::string& diskName);

// Whether any layer of chain is on a disk of systemDisks, or the chain ends in
// the same file as some system disk's chain (an image holding a system mount
// through a loop device).
bool ChainTouchesSystem(const std::string& sysRoot, const std::string& devRoot,
                        const std::vector<StorageLayer>& chain, const std::set<std::string>& systemDisks);

// Adds every loop device whose storage chain passes through a disk of *disks
// (a loop over a system partition is a name of that system disk).
void AddLoopsOverDisks(const std::string& sysRoot, const std::string& devRoot, std::set<std::string>* disks);

}  // namespace fk::platform
