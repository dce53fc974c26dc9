// The MBR partition table: the 66-byte image written at offset 0x1BE, the CHS
// encoding of its addresses and the layout of one or two primary partitions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace fk {

#pragma pack(push, 1)
struct PartitionEntry {
  uint8_t BootIndicator = 0;          // 0x80 active, 0x00 inactive
  uint8_t StartingHead = 0;
  uint16_t StartingCylAndSect = 0;
  uint8_t SystemIndicator = 0;        // partition type
  uint8_t EndingHead = 0;
  uint16_t EndingCylAndSect = 0;
  uint32_t StartingSector = 0;        // LBA of the first sector
  uint32_t NumberOfSects = 0;
};

struct PT {
  PartitionEntry PartitionTable[4];
  uint16_t Signature = 0;  // 0xAA55 once filled
};
#pragma pack(pop)

static_assert(sizeof(PartitionEntry) == 16, "an MBR entry is 16 bytes");
static_assert(sizeof(PT) == 66, "the MBR partition table image is 66 bytes");

// 1024 cylinders x 255 heads x 63 sectors: the last address CHS can express.
inline constexpr int64_t kChsLimitSectors = 16450560;
inline constexpr int kMbrPartitionTableOffset = 0x1BE;
inline constexpr int kMbrSignatureOffset = 0x1B8;
inline constexpr uint8_t kTypeFat32Chs = 0x0B;
inline constexpr uint8_t kTypeFat32Lba = 0x0C;
inline constexpr uint8_t kTypeNtfsExfat = 0x07;
inline constexpr uint8_t kTypeFat16 = 0x06;

struct ChsAddress {
  uint8_t head = 0;
  uint16_t cylAndSect = 0;
};

// CHS of sector lba with 255 heads. sectorsPerTrack 0 is treated as 63.
// Cylinder bits above bit 9 are dropped (the cylinder is taken modulo 1024).
ChsAddress LbaToChs(int64_t lba, int sectorsPerTrack);

// What the table is computed from: the disk (from CurrentDisk) ...
struct DiskGeometryInput {
  int64_t DiskSize = 0;         // bytes
  int BytesPerSector = 512;
  int SectorsPerTrack = 63;
  int64_t ChsSectors = 0;       // Cylinders x TracksPerCylinder x SectorsPerTrack
};

// ... and the settings.
struct PartitionOptions {
  std::string StartLBASector = "2048";  // "63", "2048", "4096", "8192"
  int MultiPartitions = 0;              // 1: boot partition + rest of the disk
  int64_t BootPartitionSize = 200;      // MB, used when MultiPartitions is 1
};

enum class PartitionTableError {
  None,
  BadSectorSize,          // not 512 bytes per sector
  DiskTooSmall,           // no room for a partition after the start sector
  BootPartitionTooLarge,  // the boot partition leaves no room for the second one
};

struct PartitionTableResult {
  PartitionTableError error = PartitionTableError::None;
  std::string message;  // user text when refused
  bool limited = false; // the disk was larger than an MBR can address
  explicit operator bool() const { return error == PartitionTableError::None; }
};

// Fills pt (zeroed first) and logs every field. Never shows anything: a refused
// layout leaves pt zeroed and returns the reason with a user message.
// Disks of more than 2^32 sectors are used up to sector 2^32 (the MBR limit).
PartitionTableResult ComputePartitionTable(const DiskGeometryInput& disk, const PartitionOptions& opt, PT& pt);

// The designed operation: ComputePartitionTable, and on refusal log the
// reason, show it in an "Error" message box and set FormatStatus to 1.
// Returns 1 when pt is filled, 0 when refused.
int MakePartitionTable(const DiskGeometryInput& disk, const PartitionOptions& opt, PT& pt);

// The MBR sector: the first 512 bytes of the template, the disk signature as
// u32 at 0x1B8 and pt at 0x1BE (which carries 55 AA at 0x1FE).
std::array<uint8_t, 512> BuildMbrSector(std::span<const uint8_t> mbrTemplate, const PT& pt, uint32_t signature);

}  // namespace fk
