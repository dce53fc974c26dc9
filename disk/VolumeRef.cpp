#include "disk/VolumeRef.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/Disks.h"
#include "platform/UniqueFd.h"

namespace fk {

std::string VolumeRef::ToText() const { return disk + "@@" + std::to_string(offset); }

std::optional<VolumeRef> VolumeRef::Parse(std::string_view text) {
  const size_t at = text.rfind("@@");
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  const std::string_view digits = text.substr(at + 2);
  if (digits.empty() || digits.size() > 18 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  VolumeRef v;
  v.disk = std::string(text.substr(0, at));
  for (char c : digits) v.offset = v.offset * 10 + (c - '0');
  return v;
}

std::optional<MbrPartition> FindMbrPartition(const std::string& disk, int64_t offset) {
  UniqueFd fd(platform::OpenDevice(disk, false, false));
  if (!fd) return std::nullopt;
  const int ss = platform::LogicalSectorSize(fd.get());
  if (ss <= 0) return std::nullopt;
  std::vector<uint8_t> sector(static_cast<size_t>(std::max(ss, 512)));
  if (::pread(fd.get(), sector.data(), sector.size(), 0) != static_cast<ssize_t>(sector.size())) return std::nullopt;
  const platform::MbrLayout m = platform::ParseMbr(sector.data(), sector.size());
  if (!m.valid) return std::nullopt;
  for (int i = 0; i < 4; ++i) {
    const platform::MbrEntry& e = m.entries[i];
    if (e.sectors != 0 && e.type != 0 && int64_t{e.startLba} * ss == offset)
      return MbrPartition{i, int64_t{e.sectors} * ss, e.type};
  }
  return std::nullopt;
}

}  // namespace fk
