// A volume as a byte range of a disk or disk image, and its one text form
// "<disk>@@<byte offset>", the name a volume without a device node goes by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fk {

struct VolumeRef {
  std::string disk;     // device node or image file holding the volume
  int64_t offset = 0;   // byte offset of the volume on disk
  int64_t length = 0;   // bytes; 0 while not known (to the end of disk)

  // "<disk>@@<offset>".
  std::string ToText() const;
  // The inverse of ToText: the text up to the last "@@" is the disk, and only
  // decimal digits may follow it. nullopt for anything else, so a path that
  // merely contains "@@" is never split. length stays 0.
  static std::optional<VolumeRef> Parse(std::string_view text);

  bool operator==(const VolumeRef&) const = default;
};

// The used MBR entry of disk whose partition starts at byte offset, decoded
// with the disk's logical sector size. nullopt when the disk cannot be read,
// carries no MBR, or no entry starts there.
struct MbrPartition {
  int slot = -1;        // 0..3
  int64_t length = 0;   // bytes
  uint8_t type = 0;
};
std::optional<MbrPartition> FindMbrPartition(const std::string& disk, int64_t offset);

}  // namespace fk
