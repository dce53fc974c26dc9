// What the program writes below the file system: wiping old MBR/GPT
// structures, the new MBR, the partition-type correction after formatting, the
// partition boot records on a fresh FAT32 or exFAT volume and the exFAT
// boot-region checksum.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "format/PartitionTable.h"
#include "format/SectorDevice.h"

namespace fk {

// Zeroes the first and the last 128 sectors of the disk. Checks FormatStatus
// before every sector and stops (returns 0) when it is set; a failed write also
// returns 0. Shows and logs "Clearing MBR/GPT structures ... OK" on success.
int ClearMBRGPT(SectorDevice& drive, int64_t diskSize, int64_t sectorSize);

// Writes sector 0: the template's first 512 bytes, the tick count as disk
// signature at 0x1B8, pt at 0x1BE; then zeroes the first sector of every
// partition of pt and asks the kernel to re-read the table. A failed write of
// the MBR or of a partition's first sector sets FormatStatus to 1 and returns 0.
// *signatureOut (when given) receives the signature written.
int WriteNewMBR(SectorDevice& drive, const PT& pt, std::span<const uint8_t> mbrTemplate, int64_t bytesPerSector,
                uint32_t* signatureOut = nullptr);

// For "FAT32-LBA" only (other file systems: nothing to do, returns 1): sets the
// type of partition 1 in sector 0 to 0x0C. A failed read or write sets
// FormatStatus to 1 and returns 0.
int CorrectPartitionType(SectorDevice& drive, const std::string& fileSystem, int64_t bytesPerSector);

struct BootRecordRequest {
  std::string FileSystem;                // "FAT32-LBA", "FAT32" or "exFAT"
  std::span<const uint8_t> PbrTemplate;  // PBRSectors x 512 bytes of boot code
  int PBRSectors = 0;                    // 0: nothing to install
  int64_t BytesPerSector = 512;
  std::string BootRecordsName;           // "Clover", "FreeDos": for the status text ("" none)
};

// Installs the partition boot record on an open volume (sector 0 = the
// partition's first sector) over the boot sector the formatter wrote: the
// template keeps its jump and code and gets the formatter's BIOS parameter
// block (bytes 3..89 for FAT32) or boot-sector header (bytes 0..119 for exFAT).
// FAT32: also the backup boot sector the BPB names (sector 6). exFAT: also
// the backup region at sector 12 and the checksum sectors 11 and 23.
// Refuses a volume whose sector 0 is not of the requested file system. Any
// failure sets FormatStatus to 1 and returns 0.
int InstallBootRecords(SectorDevice& volume, const BootRecordRequest& request);

// Standard exFAT boot checksum of length bytes (bytes 106, 107 and 112 left
// out), returned with its four bytes reversed; logs "> exFAT CRC Test : ".
uint32_t exFATBootChecksum(const uint8_t* buffer, int64_t length);

// Recomputes the checksum sector of the exFAT boot region starting at
// firstSector (0: main, 12: backup) from its first 11 sectors and writes it.
// Returns false when a read or write failed.
bool RewriteExfatChecksum(SectorDevice& volume, int64_t firstSector, int64_t bytesPerSector);

// Text of every byte as two hex digits (for log lines).
std::string HexBytes(const uint8_t* data, std::size_t length);

}  // namespace fk
