// Disk images, test payloads and QEMU runs for the boot-sector tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/BootCode.h"

namespace fk::boottest {

// The test payload: the first 512 bytes assembled from payload.asm, the rest
// a pattern the payload verifies. Returns the file contents ("" on failure).
struct PayloadSpec {
  unsigned org = 0x200;
  unsigned entryCs = 0x2000;
  bool freedos = false;
  std::size_t size = 4096;  // a multiple of 4, at least 512
  std::string tag;          // reported as "PAYLOAD OK <tag>"
};
std::string MakePayload(const std::string& workDir, const PayloadSpec& spec);

struct PartEntry {
  uint8_t flag = 0;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t sectors = 0;
};

// Raw access to an image file.
bool ReadAt(const std::string& path, uint64_t offset, void* buf, std::size_t size);
bool WriteAt(const std::string& path, uint64_t offset, const void* buf, std::size_t size);

// Writes sector 0: the template's code (bytes 0..439), the four entries, 55 AA.
bool WriteMbr(const std::string& image, const BootTemplate& code, const std::vector<PartEntry>& entries);

// FAT32 on the partition at startLba (mkfs.fat with the start as hidden sectors).
bool MakeFat32(const std::string& image, uint32_t startLba, uint32_t sectors, int sectorsPerCluster,
               const std::string& label);
// Runs an mtools command ("mcopy", "mmd", "mdel", ...) on the partition at
// startLba; "::" in args names its root.
bool Mtools(const std::string& image, uint32_t startLba, const std::string& tool, const std::vector<std::string>& args);
// Clears the FSInfo next-free hint so that the next allocation is first-fit.
bool ResetFat32AllocationHint(const std::string& image, uint32_t startLba);
// Changes the 11-byte name of a root directory entry in place.
bool RenameFat32RootEntry(const std::string& image, uint32_t startLba, const std::string& from,
                          const std::string& to);
// Clusters of a root directory file, in chain order (empty when not found).
std::vector<uint32_t> Fat32Chain(const std::string& image, uint32_t startLba, const std::string& name83);
// Puts a FAT32 boot record template in place, keeping bytes 3..89 of the volume.
bool InstallFat32Pbr(const std::string& image, uint32_t startLba, const BootTemplate& pbr);

// An exFAT volume in a file of its own (offset 0), built with mkfs.exfat and
// filled by writing directory entries, FAT, bitmap and data directly.
class ExfatVolume {
 public:
  enum class Layout { NoFatChain, FatChain, Fragmented };
  bool Format(const std::string& path, uint64_t bytes, const std::string& clusterSize);
  bool AddDirectory(const std::string& name);
  bool AddFile(const std::string& name, const std::string& data, Layout layout);
  // Writes the two-sector template (sectors 0-1 and 12-13) with the volume's
  // 120-byte header and PartitionOffset = partitionStart, and both checksums.
  bool InstallBootRecord(const BootTemplate& pbr, uint64_t partitionStart);
  std::vector<uint32_t> LastClusters() const { return last_; }
  const std::string& path() const { return path_; }

 private:
  bool Load();
  std::vector<uint32_t> Allocate(uint32_t count, bool gaps);
  bool AddEntrySet(const std::string& name, uint8_t attributes, uint8_t streamFlags, uint32_t firstCluster,
                   uint64_t length);
  uint64_t ClusterOffset(uint32_t c) const;

  std::string path_;
  uint32_t fatOffset_ = 0, heapOffset_ = 0, clusterCount_ = 0, rootCluster_ = 0;
  uint32_t clusterBytes_ = 0, bitmapCluster_ = 0;
  std::vector<uint8_t> bitmap_;
  std::vector<uint32_t> last_;
};

// Copies a file into an image at a byte offset, skipping all-zero blocks.
bool CopyInto(const std::string& image, uint64_t offset, const std::string& source);

struct QemuRun {
  char key = 0;              // typed on the keyboard once keyAfter has appeared on the serial port
  std::string keyAfter = "Booting from Hard Disk";
  std::string stopWhen;      // stop QEMU as soon as this text appears ("" = wait for it to exit)
  int timeoutMs = 20000;     // hard limit against hangs
};
struct QemuResult {
  int exitCode = -1;      // (value << 1) | 1 after an isa-debug-exit write; 0 after a reset
  bool stopped = false;   // stopped because stopWhen appeared
  std::string serial;     // COM1 output without ANSI sequences
};
QemuResult RunQemu(const std::string& workDir, const std::string& image, const QemuRun& run);
constexpr int kPayloadOk = (0x21 << 1) | 1;

}  // namespace fk::boottest
