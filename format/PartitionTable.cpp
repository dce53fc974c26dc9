#include "format/PartitionTable.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "app/Utilities.h"

static_assert(std::endian::native == std::endian::little, "PT is copied byte for byte as little-endian");

namespace fk {

namespace {

constexpr int64_t kMbrMaxSectors = int64_t{1} << 32;

std::string Hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, value);
  return buf;
}

void LogEntry(const PT& pt, int index) {
  const PartitionEntry& e = pt.PartitionTable[index];
  const std::string p = "> PT\\PartitionTable[" + std::to_string(index) + "]\\";
  Log("> PartitionTable[" + std::to_string(index) + "] setting:");
  Log(p + "BootIndicator = $" + Hex(e.BootIndicator, 2));
  Log(p + "StartingHead = $" + Hex(e.StartingHead, 2));
  Log(p + "StartingCylAndSect = $" + Hex(e.StartingCylAndSect, 4));
  Log(p + "SystemIndicator = $" + Hex(e.SystemIndicator, 2));
  Log(p + "EndingHead = $" + Hex(e.EndingHead, 2));
  Log(p + "EndingCylAndSect = $" + Hex(e.EndingCylAndSect, 4));
  Log(p + "StartingSector = " + std::to_string(e.StartingSector));
  Log(p + "NumberOfSects = " + std::to_string(e.NumberOfSects));
}

// End CHS of a partition ending before sector end: past the CHS range the
// conventional "beyond" marker 0xFE / 0xFFFF.
void SetEndChs(PartitionEntry& e, int64_t end, int spt) {
  if (end >= kChsLimitSectors) {
    e.EndingHead = 0xFE;
    e.EndingCylAndSect = 0xFFFF;
  } else {
    ChsAddress c = LbaToChs(end - 1, spt);
    e.EndingHead = c.head;
    e.EndingCylAndSect = c.cylAndSect;
  }
}

void SetStartChs(PartitionEntry& e, int64_t start, int spt) {
  ChsAddress c = LbaToChs(start, spt);
  e.StartingHead = c.head;
  e.StartingCylAndSect = c.cylAndSect;
}

PartitionTableResult Refuse(PartitionTableError err, std::string message) {
  PartitionTableResult r;
  r.error = err;
  r.message = std::move(message);
  return r;
}

}  // namespace

ChsAddress LbaToChs(int64_t lba, int sectorsPerTrack) {
  const int64_t s = sectorsPerTrack > 0 ? sectorsPerTrack : 63;
  if (lba < 0) lba = 0;
  const int64_t sector = (lba % s) + 1;
  const int64_t head = (lba / s) % 255;
  const int64_t cylinder = lba / (s * 255);
  ChsAddress c;
  c.head = static_cast<uint8_t>(head);
  c.cylAndSect = static_cast<uint16_t>(((cylinder & 0x300) >> 2) + sector + ((cylinder & 0xFF) << 8));
  return c;
}

PartitionTableResult ComputePartitionTable(const DiskGeometryInput& disk, const PartitionOptions& opt, PT& pt) {
  pt = PT{};
  if (disk.BytesPerSector != 512) {
    return Refuse(PartitionTableError::BadSectorSize,
                  "This disk has " + std::to_string(disk.BytesPerSector) +
                      " bytes per sector.\r\nOnly disks with 512 bytes per sector can be prepared.");
  }
  int spt = disk.SectorsPerTrack;
  if (spt <= 0) {
    Log("> MakePartitionTable: SectorsPerTrack = " + std::to_string(spt) + ", using 63");
    spt = 63;
  }

  int64_t startSector = 0;
  {
    const std::string& t = opt.StartLBASector;
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), startSector);
    if (ec != std::errc() || startSector <= 0) {
      Log("> MakePartitionTable: StartLBASector$=" + t + " is not a sector number, using 2048");
      startSector = 2048;
    }
  }
  if (startSector >= disk.ChsSectors) startSector = 63;

  PartitionTableResult result;
  int64_t diskSectors = disk.DiskSize / disk.BytesPerSector;
  if (diskSectors > kMbrMaxSectors) {
    Log("> MakePartitionTable: disk of " + std::to_string(diskSectors) +
        " sectors, partitions limited to the first " + std::to_string(kMbrMaxSectors) + " sectors");
    diskSectors = kMbrMaxSectors;
    result.limited = true;
  }
  if (diskSectors <= startSector) {
    return Refuse(PartitionTableError::DiskTooSmall,
                  "The disk (" + FormatSize(disk.DiskSize, 2) + ") is too small for a partition starting at sector " +
                      std::to_string(startSector) + ".");
  }

  int64_t size0 = 0, end0 = 0;
  if (opt.MultiPartitions == 1) {
    size0 = opt.BootPartitionSize * 1024 * 1024 / disk.BytesPerSector;
    end0 = startSector + size0;
    if (size0 <= 0 || end0 >= diskSectors) {
      return Refuse(PartitionTableError::BootPartitionTooLarge,
                    "The boot partition of " + std::to_string(opt.BootPartitionSize) +
                        " MB leaves no room for a second partition on this disk (" +
                        FormatSize(disk.DiskSize, 2) + ").\r\nPlease choose a smaller boot partition size.");
    }
  } else {
    size0 = diskSectors - startSector;
    end0 = disk.ChsSectors;
  }

  PartitionEntry& e0 = pt.PartitionTable[0];
  SetStartChs(e0, startSector, spt);
  SetEndChs(e0, end0, spt);
  e0.BootIndicator = 0x80;
  e0.SystemIndicator = kTypeFat16;
  e0.StartingSector = static_cast<uint32_t>(startSector);
  e0.NumberOfSects = static_cast<uint32_t>(size0);

  if (opt.MultiPartitions == 1) {
    PartitionEntry& e1 = pt.PartitionTable[1];
    SetStartChs(e1, end0, spt);
    SetEndChs(e1, disk.ChsSectors, spt);
    e1.BootIndicator = 0x00;
    e1.SystemIndicator = kTypeFat16;
    e1.StartingSector = e0.StartingSector + e0.NumberOfSects;
    e1.NumberOfSects = static_cast<uint32_t>(diskSectors - startSector - e0.NumberOfSects);
  }
  pt.Signature = 0xAA55;

  LogEntry(pt, 0);
  Log("> PT\\Signature = $" + Hex(pt.Signature, 4));
  if (opt.MultiPartitions == 1) LogEntry(pt, 1);
  return result;
}

int MakePartitionTable(const DiskGeometryInput& disk, const PartitionOptions& opt, PT& pt) {
  PartitionTableResult r = ComputePartitionTable(disk, opt, pt);
  if (r) return 1;
  std::string oneLine = r.message;
  for (std::size_t i; (i = oneLine.find("\r\n")) != std::string::npos;) oneLine.replace(i, 2, " ");
  Log("> MakePartitionTable: Error " + oneLine);
  MarkCurrentOpFailed();
  GetUi().MessageBox("Error", r.message, MsgButtons::Ok, MsgIcon::Error);
  return 0;
}

std::array<uint8_t, 512> BuildMbrSector(std::span<const uint8_t> mbrTemplate, const PT& pt, uint32_t signature) {
  std::array<uint8_t, 512> s{};
  std::memcpy(s.data(), mbrTemplate.data(), std::min<std::size_t>(mbrTemplate.size(), s.size()));
  std::memcpy(s.data() + kMbrSignatureOffset, &signature, sizeof signature);
  std::memcpy(s.data() + kMbrPartitionTableOffset, &pt, sizeof pt);
  return s;
}

}  // namespace fk
