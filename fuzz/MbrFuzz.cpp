// The MBR of any disk a user plugs in: the entries the disk list takes from
// sector 0 either lie inside the disk or are marked as reaching past its end,
// entries a job may use share no sector, an entry is marked as overlapping
// only when it does, and an entry stored into a sector reads back as stored.
#include <cstring>
#include <string>
#include <vector>

#include "disk/DiskInternal.h"
#include "disk/DiskList.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Disks.h"

using namespace fk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input: 8 bytes of disk size, 1 byte choosing the sector size, the sector.
  if (size < 9) return 0;
  int64_t diskSize = 0;
  std::memcpy(&diskSize, data, 8);
  static constexpr int64_t kSectorSizes[] = {512, 1024, 2048, 4096};
  const int64_t bps = kSectorSizes[data[8] & 3];
  diskSize = diskSize < 0 ? -(diskSize + 1) : diskSize;
  std::vector<uint8_t> sector(data + 9, data + size);

  DiskRecord d;
  d.Size = diskSize;
  std::string why;
  const bool mbr = detail::LayoutFromSector(sector.data(), sector.size(), bps, d, &why);
  const platform::MbrLayout m = platform::ParseMbr(sector.data(), sector.size());
  FK_FUZZ_CHECK(mbr == m.valid, why);
  FK_FUZZ_CHECK(mbr || !why.empty(), "refusal without reason");
  for (int i = 0; mbr && i < 4; ++i) {
    const PartitionRecord& p = d.Partition[i];
    if (p.PartitionLength == 0) continue;
    FK_FUZZ_CHECK(p.StartingOffset >= 0 && p.PartitionLength > 0, std::to_string(i));
    FK_FUZZ_CHECK(p.BeyondDiskEnd || p.StartingOffset + p.PartitionLength <= diskSize,
                  "partition " + std::to_string(i + 1) + " lies past the disk");
    FK_FUZZ_CHECK(p.StartingOffset == int64_t(m.entries[i].startLba) * bps, "start");
    bool shares = false;
    for (int j = 0; j < 4; ++j) {
      const PartitionRecord& q = d.Partition[j];
      if (j == i || q.PartitionLength == 0) continue;
      const bool overlap = p.StartingOffset < q.StartingOffset + q.PartitionLength &&
                           q.StartingOffset < p.StartingOffset + p.PartitionLength;
      FK_FUZZ_CHECK(!overlap || p.Unusable() || q.Unusable(),
                    "usable partitions " + std::to_string(i + 1) + " and " + std::to_string(j + 1) + " overlap");
      shares = shares || overlap;
    }
    FK_FUZZ_CHECK(p.OverlapsAnother == shares, "overlap mark of partition " + std::to_string(i + 1));
  }

  if (sector.size() >= 512) {
    // Store the entries in reverse order and read them back.
    std::vector<uint8_t> copy = sector;
    copy[510] = 0x55;
    copy[511] = 0xAA;
    for (int slot = 0; slot < 4; ++slot) {
      platform::MbrEntry e = m.entries[3 - slot];
      if (e.type == 0xEE) e.type = 0x07;
      platform::StoreMbrEntry(copy.data(), slot, e);
    }
    const platform::MbrLayout back = platform::ParseMbr(copy.data(), copy.size());
    FK_FUZZ_CHECK(back.valid, "stored entries make a GPT");
    for (int slot = 0; slot < 4; ++slot) {
      const platform::MbrEntry& a = back.entries[slot];
      const platform::MbrEntry& b = m.entries[3 - slot];
      FK_FUZZ_CHECK(a.startLba == b.startLba && a.sectors == b.sectors && a.bootIndicator == b.bootIndicator,
                    "slot " + std::to_string(slot));
    }
  }
  return 0;
}
