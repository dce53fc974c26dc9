// Reading back what a format run wrote: MBR entries, files and attributes on
// FAT volumes (mtools), fsck on a copy of a partition, and the log.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fk::test {

// s in single quotes for /bin/sh.
std::string Quote(const std::string& s);

// MBR partition entry as read from sector 0.
struct MbrEntry {
  uint8_t flag = 0, type = 0;
  uint32_t start = 0, sectors = 0;
};
std::vector<MbrEntry> ReadMbrEntries(const std::string& sector0);

// The lines of text that appear in order in log (each a substring of some line,
// later lines after earlier ones). Empty when all are there, else the first missing.
std::string MissingInOrder(const std::string& log, const std::vector<std::string>& lines);

// "<image>@@<byte offset>" for mtools.
std::string MtoolsVolume(const std::string& image, uint32_t startLba);
// mattrib's attribute letters of a path on the FAT volume ("" when not found).
std::string FatAttributes(const std::string& image, uint32_t startLba, const std::string& path);
// Reads a file from the FAT volume; false when it is not there.
bool FatReadFile(const std::string& image, uint32_t startLba, const std::string& path, std::string* data);
// fsck.fat -n / fsck.exfat -n on a copy of the partition's bytes (no root needed).
// Returns the exit code and puts the tool's output in out.
int FsckPartition(const std::string& image, const MbrEntry& e, bool exfat, const std::string& scratch,
                  std::string* out);

// A stored ZIP of the given files ("dir/name" -> content).
std::string MakeZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files);

// Open descriptors of this process on path (to see that a run closed its handles).
int OpenDescriptorsOn(const std::string& path);

}  // namespace fk::test
