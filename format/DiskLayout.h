// The disk-layout operations as the format run calls them: on drive handles of
// the disk layer, with the geometry of CurrentDisk and the embedded boot-code
// templates.
#pragma once

#include <cstdint>
#include <string>

#include "disk/RawDisk.h"
#include "format/BootRecords.h"
#include "format/PartitionTable.h"
#include "format/SectorDevice.h"

namespace fk {

// Sector I/O through read_sectors / write_sectors of a drive handle.
class DriveHandleDevice final : public SectorDevice {
 public:
  explicit DriveHandleDevice(const DriveHandle& handle) : h_(handle) {}
  int64_t ReadSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, void* buffer) override;
  int64_t WriteSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, const void* buffer) override;
  bool UpdateProperties() override;
  bool Flush() override;

 private:
  const DriveHandle& h_;
};

// The boot-record set of a run.
struct BootRecordSet {
  std::string MBRTemplate;  // "boot0" or "USB-HDD+"
  std::string PBRTemplate;  // "" when the formatter's boot sector stays
  int MBRSectors = 1;
  int PBRSectors = 0;
  std::string FileSystem;   // FreeDos forces "FAT32-LBA"
};
// For Boot_records "Clover", "FreeDos" or "Windows" and the FileSystem setting.
BootRecordSet ChooseBootRecords(const std::string& Boot_records, const std::string& FileSystem);

// Geometry values of CurrentDisk.
DiskGeometryInput CurrentDiskGeometry();

// MakePartitionTable from CurrentDisk (see PartitionTable.h); 1 filled, 0 refused.
int MakePartitionTable(PT& pt, const PartitionOptions& options);

int ClearMBRGPT(const DriveHandle& drive, int64_t DiskSize, int64_t SectorSize);
// MBRTemplate: the template's name. 0 (and FormatStatus 1) when it is unknown
// or a write failed.
int WriteNewMBR(const DriveHandle& drive, const PT& pt, const std::string& MBRTemplate);
int CorrectPartitionType(const DriveHandle& drive, const std::string& FileSystem);

// Opens DriveLetter (the first partition's volume name) of CurrentDisk with
// write access and lock, installs the boot records of PBRTemplate, releases the
// volume and remounts it. 1 on success; 0 with FormatStatus 1 on failure.
int InstallBootRecords(const std::string& DriveLetter, const std::string& FileSystem, const std::string& PBRTemplate,
                       const std::string& Boot_records);

}  // namespace fk
