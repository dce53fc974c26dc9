// Checks a format run makes before it asks for confirmation, so that a run
// that cannot finish is refused while the disk is still as it was. Each takes
// the run's parameters and returns a typed refusal with the user's text.
#pragma once

#include <cstdint>
#include <string>

namespace fk {

enum class RunRefusal {
  None,
  DataSetUnreadable,  // not a ZIP, truncated, central directory unreadable
  DataSetBadEntry,    // a hostile name, a link or device, a member whose data fails its CRC or size
  DataSetFileTooLarge,  // a file the target file system cannot hold (FAT32: 4 GiB and more)
  DataSetTooLarge,    // more than the volume, or than the staging space, holds
  LabelInvalid,       // too long for the file system, or not valid UTF-8
  VolumeTooSmall,     // below the file system's minimum
  BootRecordsDataSet, // a data set with boot records that take none
};

struct RunCheck {
  RunRefusal refusal = RunRefusal::None;
  std::string text;  // for the status line / message box; "" when None
  explicit operator bool() const { return refusal == RunRefusal::None; }
};

// What a run will make and copy.
struct RunPlan {
  std::string bootRecords;   // "Clover", "FreeDos", "Windows", "Not_Format"
  std::string fileSystem;    // "FAT32", "FAT32-LBA", "exFAT", "NTFS"
  std::string label;
  int64_t volumeBytes = 0;   // the boot partition's size
  std::string dataSetZip;    // "" when no ZIP data set is copied
  std::string stagingDir;    // where the data set is unpacked before the copy
};

RunCheck CheckLabel(const std::string& fileSystem, const std::string& label);
RunCheck CheckVolumeSize(const std::string& fileSystem, int64_t volumeBytes);
RunCheck CheckBootRecordsAndDataSet(const std::string& bootRecords, bool hasDataSet);
// Reads the whole archive: its entry list, every name, type, size and CRC.
RunCheck CheckDataSet(const std::string& zipPath, const std::string& fileSystem, int64_t volumeBytes,
                      const std::string& stagingDir);
// All of the above, in that order; the first refusal wins.
RunCheck CheckRun(const RunPlan& plan);

// The smallest FAT32 volume: 65525 one-sector clusters, their two FATs and
// the reserved sectors.
inline constexpr int64_t kMinFat32VolumeBytes = (32 + 2 * 513 + 65525 + 16) * int64_t{512};

}  // namespace fk
