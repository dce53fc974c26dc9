// File-system formatting of one partition with the Debian mkfs tools, reported
// through the format callback (command codes, status texts and FormatStatus),
// and the format-prompt hook, which Linux does not need.
#pragma once

#include <cstdint>
#include <string>

#include "disk/VolumeRef.h"

namespace fk {

// Command codes of the format callback.
enum FormatCommand : int {
  FCC_PROGRESS = 0,                  // data: const uint32_t* percent
  FCC_DONE_WITH_STRUCTURE = 1,
  FCC_INCOMPATIBLE_FILE_SYSTEM = 3,  // also: the tool is missing
  FCC_ACCESS_DENIED = 6,
  FCC_MEDIA_WRITE_PROTECTED = 7,
  FCC_VOLUME_IN_USE = 8,
  FCC_CANT_QUICK_FORMAT = 9,
  FCC_DONE = 11,                     // data: const uint8_t* success flag
  FCC_BAD_LABEL = 12,
  FCC_OUTPUT = 14,
  FCC_STRUCTURE_PROGRESS = 15,
  FCC_UNSUPPORTED_CLUSTER_SIZE = 16,
  FCC_IGNORED_17 = 17,
  FCC_VOLUME_TOO_SMALL = 18,
  FCC_VOLUME_TOO_BIG = 19,
  FCC_NO_MEDIA_IN_DRIVE = 20,
};

// Returns 0 once FormatStatus is set (the format must stop), else 1. Shows and
// logs the report; error reports set FormatStatus to 1.
int FormatExCallback(int Command, int SubAction, const void* ActionInfo);

// Formats the volume DriveRoot (a partition device node, or "<disk>@@<byte
// offset>" of a partition in the disk's MBR) with "FAT32", "exFAT", "NTFS" or
// "UDF". QuickFormat 0 zeroes the partition first. ClusterSize in bytes, 0 =
// default. The boot sector carries the partition's start as hidden sectors /
// PartitionOffset, 255 heads, 63 sectors per track and drive 0x80; afterwards
// the partition's MBR type is 0x0B (FAT32) or 0x07 (exFAT, NTFS).
// Returns 1 on success, 0 on failure or cancel (FormatStatus is then 1).
int FormatDriveEx(const std::string& DriveRoot, const std::string& FileSystemName, const std::string& VolumeLabel,
                  int QuickFormat, int ClusterSize);

// Linux shows no format prompt for new partitions: logs one line, returns 1.
int SetFormatPromptHook();
void ClrFormatPromptHook();

// Where a volume lies (its disk, device or image file, and byte range) and its
// MBR slot (0..3, -1 when not in the MBR).
struct VolumeLocation : VolumeRef {
  int mbrSlot = -1;
  bool diskIsFile = false;
  int64_t startSector() const { return offset / 512; }
};
// Resolves a partition device node or a VolumeRef's text; false with *error set
// when the name is neither or the disk's MBR has no partition there.
bool ResolveVolume(const std::string& root, VolumeLocation* out, std::string* error);

// The callback code for a failed tool run (0 when nothing specific is known:
// the run then ends as "Error while formatting").
int FormatErrorFromToolOutput(const std::string& output);

// Default FAT32 sectors per cluster for a volume of the given size.
int DefaultFat32SectorsPerCluster(int64_t volumeBytes);

// Replaces the program used for a file system ("" restores the default).
void SetFormatProgram(const std::string& fileSystem, const std::string& program);

}  // namespace fk
