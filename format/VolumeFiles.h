// Writing files onto a volume of a disk or disk image without the desktop:
// FAT through mtools (works on image files without root), exFAT and NTFS
// through a private mount under the work directory. Used by ExtractDataZip and
// by the format thread for the small hidden marker files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk/VolumeRef.h"

namespace fk {

// disk: block device, loop device, or image file; length 0 = to the end of it.
struct VolumeTarget : VolumeRef {
  std::string fsType;  // "FAT32", "FAT16", "FAT12", "exFAT", "NTFS"
};

// True when name names a volume rather than a directory: a block device node,
// or the text form of a VolumeRef that is not an existing directory.
bool IsVolumeName(const std::string& name);

// Fills *target from a volume name. For a VolumeRef's text the length is taken
// from the MBR entry starting at that offset (else to the end of the disk); the
// file system is probed with libblkid at the offset.
bool ResolveVolume(const std::string& name, VolumeTarget* target, std::string* error);

struct VolumeWriteOptions {
  std::string workDir;              // where the private mount point goes ("" = $TMPDIR)
  std::vector<std::string> hidden;  // "/"-separated paths (relative to the root) to mark hidden
  // Bytes of file data on the volume so far against the total: after every
  // file (or batch of files), and about every 50 ms while a tool copies.
  std::function<void(int64_t done, int64_t total)> progress;
  // Asked between files; true stops the copy there (the copy fails with
  // *error "cancelled"). FAT volumes are written in batches of files by one
  // tool call each: the cancel is seen between batches.
  std::function<bool()> cancel;
  // FAT: the most bytes and files one batch holds (0: the defaults below).
  int64_t batchBytes = 0;
  int batchFiles = 0;
};
inline constexpr int64_t kDefaultBatchBytes = 4 << 20;
inline constexpr int kDefaultBatchFiles = 320;

// Copies everything below sourceDir onto the volume's root (overwriting files
// of the same name), then sets the hidden attribute on opts.hidden and flushes
// the device. exFAT and NTFS need root (loop device and mount).
bool CopyTreeToVolume(const VolumeTarget& volume, const std::string& sourceDir, const VolumeWriteOptions& opts,
                      std::string* error);

// One file for WriteFilesToVolume.
struct VolumeFile {
  std::string path;  // "/"-separated, relative to the volume root
  std::string data;
  bool hidden = false;
};

// Stages files in the work directory and writes them with CopyTreeToVolume.
bool WriteFilesToVolume(const VolumeTarget& volume, const std::vector<VolumeFile>& files, const std::string& workDir,
                        std::string* error);

// Sets the hidden attribute (0x02) of each path in an unmounted exFAT file
// system at byteOffset of the open device fd, fixing each entry set's checksum.
bool ExfatSetHidden(int fd, int64_t byteOffset, const std::vector<std::string>& paths, std::string* error);

// Reads the attributes of path in an exFAT file system (-1 when not found).
int ExfatAttributes(int fd, int64_t byteOffset, const std::string& path, std::string* error);

}  // namespace fk
