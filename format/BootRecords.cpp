#include "format/BootRecords.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "app/Utilities.h"

namespace fk {

namespace {

std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

int Fail(const std::string& line) {
  Log(line);
  MarkCurrentOpFailed();
  return 0;
}

bool IsFat32BootSector(const uint8_t* s) {
  return std::memcmp(s + 82, "FAT32   ", 8) == 0 && s[510] == 0x55 && s[511] == 0xAA;
}

bool IsExfatBootSector(const uint8_t* s) {
  return std::memcmp(s + 3, "EXFAT   ", 8) == 0 && s[510] == 0x55 && s[511] == 0xAA;
}

constexpr int64_t kClearSectors = 128;
constexpr int64_t kExfatRegionSectors = 12;  // boot, extended boot x8, OEM, reserved, checksum

}  // namespace

std::string HexBytes(const uint8_t* data, std::size_t length) {
  std::string s;
  s.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) s += Hex2(data[i]);
  return s;
}

int ClearMBRGPT(SectorDevice& drive, int64_t diskSize, int64_t sectorSize) {
  if (sectorSize <= 0) return Fail("> ClearMBRGPT: Error sector size " + std::to_string(sectorSize));
  const int64_t n = diskSize / sectorSize;
  std::vector<uint8_t> zero(static_cast<std::size_t>(sectorSize), 0);
  auto clear = [&](int64_t from, int64_t to) {
    for (int64_t s = from; s < to; ++s) {
      if (CurrentOpStopped()) return false;
      if (drive.WriteSectors(sectorSize, s, 1, zero.data()) != sectorSize) return false;
    }
    return true;
  };
  if (!clear(0, std::min(kClearSectors, n))) return 0;
  if (!clear(std::max<int64_t>(0, n - kClearSectors), n)) return 0;
  drive.Flush();
  GetUi().ShowStatus("Clearing MBR/GPT structures ... OK", 1000);
  Log("> Clearing MBR/GPT structures ... OK");
  return 1;
}

int WriteNewMBR(SectorDevice& drive, const PT& pt, std::span<const uint8_t> mbrTemplate, int64_t bytesPerSector,
                uint32_t* signatureOut) {
  if (bytesPerSector != 512)
    return Fail("> WriteNewMBR: Error unsupported sector size " + std::to_string(bytesPerSector));
  if (mbrTemplate.size() < 512) return Fail("> WriteNewMBR: Error MBR template too short");

  const uint32_t signature = static_cast<uint32_t>(TickCountMs());
  std::array<uint8_t, 512> mbr = BuildMbrSector(mbrTemplate, pt, signature);
  Log("> Copy new MBR sector into memory");
  char sig[16];
  std::snprintf(sig, sizeof sig, "%08X", signature);
  Log(std::string("> Set NewSignature of disk=") + sig);
  if (signatureOut) *signatureOut = signature;

  if (drive.WriteSectors(bytesPerSector, 0, 1, mbr.data()) != bytesPerSector)
    return Fail("> WriteNewMBR: Error writing the MBR");

  std::vector<uint8_t> zero(static_cast<std::size_t>(bytesPerSector), 0);
  for (const PartitionEntry& e : pt.PartitionTable) {
    if (e.StartingSector == 0) continue;
    if (drive.WriteSectors(bytesPerSector, e.StartingSector, 1, zero.data()) != bytesPerSector)
      return Fail("> WriteNewMBR: Error clearing the first sector of the partition at " +
                  std::to_string(e.StartingSector));
    GetUi().ShowStatus("Clearing PBR structures ... OK", 1000);
    Log("> Clearing PBR structures ... OK");
  }
  drive.Flush();
  Log(drive.UpdateProperties() ? "> Phase 3 DISK_UPDATE_PROPERTIES - Success"
                               : "> Phase 3 DISK_UPDATE_PROPERTIES - Error");
  return 1;
}

int CorrectPartitionType(SectorDevice& drive, const std::string& fileSystem, int64_t bytesPerSector) {
  if (fileSystem != "FAT32-LBA") return 1;
  std::vector<uint8_t> sector(static_cast<std::size_t>(bytesPerSector), 0);
  if (bytesPerSector < 512 || drive.ReadSectors(bytesPerSector, 0, 1, sector.data()) != bytesPerSector)
    return Fail("> CorrectPartitionType: Error reading the MBR");
  Log("> Correction MBR here $0B -> $0C for FAT32");
  Log("> old FAT ID = $" + Hex2(sector[0x1C2]));
  sector[0x1C2] = kTypeFat32Lba;
  Log("> new FAT ID = $" + Hex2(sector[0x1C2]));
  if (drive.WriteSectors(bytesPerSector, 0, 1, sector.data()) != bytesPerSector)
    return Fail("> CorrectPartitionType: Error writing the MBR");
  drive.Flush();
  return 1;
}

uint32_t exFATBootChecksum(const uint8_t* buffer, int64_t length) {
  uint32_t sum = 0;
  for (int64_t i = 0; i < length; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + buffer[i];
  }
  const uint32_t reversed = __builtin_bswap32(sum);
  Log("> exFAT CRC Test : " + std::to_string(static_cast<int32_t>(reversed)));
  return reversed;
}

bool RewriteExfatChecksum(SectorDevice& volume, int64_t firstSector, int64_t bytesPerSector) {
  std::vector<uint8_t> region(static_cast<std::size_t>(bytesPerSector * kExfatRegionSectors), 0);
  if (volume.ReadSectors(bytesPerSector, firstSector, kExfatRegionSectors, region.data()) !=
      static_cast<int64_t>(region.size()))
    return false;
  const uint32_t sum = __builtin_bswap32(exFATBootChecksum(region.data(), bytesPerSector * 11));
  if (sum == 0) return true;
  uint8_t* checksumSector = region.data() + bytesPerSector * 11;
  for (int64_t i = 0; i < bytesPerSector / 4; ++i) std::memcpy(checksumSector + i * 4, &sum, 4);
  return volume.WriteSectors(bytesPerSector, firstSector + 11, 1, checksumSector) == bytesPerSector;
}

int InstallBootRecords(SectorDevice& volume, const BootRecordRequest& req) {
  if (req.PBRSectors <= 0) return 1;
  const bool exfat = req.FileSystem == "exFAT";
  const bool fat32 = req.FileSystem == "FAT32" || req.FileSystem == "FAT32-LBA";
  if (!exfat && !fat32) return Fail("> InstallBootRecords: Error no boot records for " + req.FileSystem);
  const int64_t bps = req.BytesPerSector;
  if (bps != 512) return Fail("> InstallBootRecords: Error unsupported sector size " + std::to_string(bps));
  const std::size_t bytes = static_cast<std::size_t>(bps * req.PBRSectors);
  if (req.PbrTemplate.size() < bytes) return Fail("> InstallBootRecords: Error boot record template too short");

  std::vector<uint8_t> readBuffer(bytes, 0);
  std::vector<uint8_t> writeBuffer(req.PbrTemplate.begin(), req.PbrTemplate.begin() + bytes);
  if (volume.ReadSectors(bps, 0, req.PBRSectors, readBuffer.data()) != static_cast<int64_t>(bytes))
    return Fail("> InstallBootRecords: Error reading the boot sector of the volume");
  if (fat32 ? !IsFat32BootSector(readBuffer.data()) : !IsExfatBootSector(readBuffer.data()))
    return Fail("> InstallBootRecords: Error the volume holds no " + std::string(fat32 ? "FAT32" : "exFAT") +
                " boot sector");

  // FAT32: OEM name, BIOS parameter block and FAT32 extended block; the
  // template keeps its own jump. exFAT: the whole boot-sector header.
  const std::size_t from = fat32 ? 3 : 0;
  const std::size_t to = fat32 ? 90 : 120;
  Log("> *ReadBuffer before CopyMemory=" + HexBytes(writeBuffer.data(), to));
  std::memcpy(writeBuffer.data() + from, readBuffer.data() + from, to - from);
  Log("> *ReadBuffer after CopyMemory=" + HexBytes(writeBuffer.data(), to));

  if (volume.WriteSectors(bps, 0, req.PBRSectors, writeBuffer.data()) != static_cast<int64_t>(bytes))
    return Fail("> InstallBootRecords: Error writing the boot record");
  if (fat32) {
    // Keep the backup boot sector identical, or checkers report the volume
    // as damaged and a repair would put the old boot code back.
    uint16_t backup = 0, reserved = 0;
    std::memcpy(&backup, readBuffer.data() + 50, 2);
    std::memcpy(&reserved, readBuffer.data() + 14, 2);
    if (backup != 0 && backup != 0xFFFF && backup < reserved &&
        volume.WriteSectors(bps, backup, 1, writeBuffer.data()) != bps)
      return Fail("> InstallBootRecords: Error writing the backup boot record");
  }
  if (exfat) {
    if (volume.WriteSectors(bps, kExfatRegionSectors, req.PBRSectors, writeBuffer.data()) !=
        static_cast<int64_t>(bytes))
      return Fail("> InstallBootRecords: Error writing the backup boot record");
    Log("> *ReadBuffer after ReAllocateMemory for exFAT=" + std::to_string(bps * kExfatRegionSectors));
    if (!RewriteExfatChecksum(volume, 0, bps) || !RewriteExfatChecksum(volume, kExfatRegionSectors, bps))
      return Fail("> InstallBootRecords: Error writing the exFAT boot checksum");
  }
  if (!volume.Flush()) return Fail("> InstallBootRecords: Error flushing the volume");
  if (!req.BootRecordsName.empty()) GetUi().ShowStatus(req.BootRecordsName + " boot records installed", 1000);
  return 1;
}

}  // namespace fk
