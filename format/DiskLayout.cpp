#include "format/DiskLayout.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "disk/DiskList.h"
#include "disk/Volume.h"
#include "format/BootCode.h"
#include "platform/Disks.h"

namespace fk {

int64_t DriveHandleDevice::ReadSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors, void* buffer) {
  return read_sectors(h_, sectorSize, startSector, nSectors, buffer);
}

int64_t DriveHandleDevice::WriteSectors(int64_t sectorSize, int64_t startSector, int64_t nSectors,
                                        const void* buffer) {
  return write_sectors(h_, sectorSize, startSector, nSectors, buffer);
}

bool DriveHandleDevice::UpdateProperties() {
  if (!h_.valid()) return false;
  if (h_.imageFile() || h_.offset() != 0) return true;  // the table is read from sector 0 each time
  ::fsync(h_.value());
  return UpdateDiskProperties(h_) == 1;
}

bool DriveHandleDevice::Flush() { return h_.valid() && ::fsync(h_.value()) == 0; }

BootRecordSet ChooseBootRecords(const std::string& Boot_records, const std::string& FileSystem) {
  BootRecordSet s;
  s.FileSystem = FileSystem;
  if (Boot_records == "Clover") {
    s.MBRTemplate = "boot0";
    if (FileSystem == "exFAT") {
      s.PBRTemplate = "boot1xalt";
      s.PBRSectors = 2;
    } else {
      s.PBRTemplate = "boot1f32alt";
      s.PBRSectors = 1;
    }
  } else if (Boot_records == "FreeDos") {
    s.MBRTemplate = "USB-HDD+";
    s.PBRTemplate = "Fat32LBA";
    s.PBRSectors = 1;
    s.FileSystem = "FAT32-LBA";
  } else {
    s.MBRTemplate = "USB-HDD+";
  }
  return s;
}

DiskGeometryInput CurrentDiskGeometry() {
  DiskGeometryInput g;
  g.DiskSize = CurrentDisk.Geometry.DiskSize;
  g.BytesPerSector = static_cast<int>(CurrentDisk.Geometry.BytesPerSector);
  g.SectorsPerTrack = static_cast<int>(CurrentDisk.Geometry.SectorsPerTrack);
  g.ChsSectors = CurrentDisk.ChsSectors;
  return g;
}

int MakePartitionTable(PT& pt, const PartitionOptions& options) {
  return MakePartitionTable(CurrentDiskGeometry(), options, pt);
}

int ClearMBRGPT(const DriveHandle& drive, int64_t DiskSize, int64_t SectorSize) {
  DriveHandleDevice dev(drive);
  return ClearMBRGPT(dev, DiskSize, SectorSize);
}

int WriteNewMBR(const DriveHandle& drive, const PT& pt, const std::string& MBRTemplate) {
  const BootTemplate* t = FindBootTemplate(MBRTemplate);
  if (!t) {
    Log("> WriteNewMBR: Error no boot template " + MBRTemplate);
    MarkCurrentOpFailed();
    return 0;
  }
  DriveHandleDevice dev(drive);
  return WriteNewMBR(dev, pt, std::span<const uint8_t>(t->data, t->size), CurrentDisk.Geometry.BytesPerSector);
}

int CorrectPartitionType(const DriveHandle& drive, const std::string& FileSystem) {
  DriveHandleDevice dev(drive);
  return CorrectPartitionType(dev, FileSystem, CurrentDisk.Geometry.BytesPerSector);
}

int InstallBootRecords(const std::string& DriveLetter, const std::string& FileSystem, const std::string& PBRTemplate,
                       const std::string& Boot_records) {
  const BootTemplate* t = FindBootTemplate(PBRTemplate);
  if (!t) {
    Log("> InstallBootRecords: Error no boot template " + PBRTemplate);
    MarkCurrentOpFailed();
    return 0;
  }
  DriveHandle volume = GetDriveHandle(CurrentDisk.DiskNumber, DriveLetter, true, true);
  if (!volume) {
    Log("> Error open volume " + DriveLetter + " for PBR access");
    MarkCurrentOpFailed();
    return 0;
  }
  Log("> Success open volume " + DriveLetter + " for PBR access");
  int rc;
  {
    DriveHandleDevice dev(volume);
    BootRecordRequest req;
    req.FileSystem = FileSystem;
    req.PbrTemplate = std::span<const uint8_t>(t->data, t->size);
    req.PBRSectors = t->sectors;
    req.BytesPerSector = CurrentDisk.Geometry.BytesPerSector;
    // BootRecordsName stays empty: the status line comes once the volume is released.
    rc = InstallBootRecords(dev, req);
  }
  UnlockDrive(volume);
  volume.Close();
  Log("> Remount Volume " + DriveLetter);
  RemountVolume(DriveLetter);
  if (rc == 1) GetUi().ShowStatus(Boot_records + " boot records installed", 1000);
  return rc;
}

}  // namespace fk
