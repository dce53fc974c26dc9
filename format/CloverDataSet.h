// Clover data sets: the local repository of archives, the archive checks, the
// revision found in an FKL-ready ZIP, and turning a Clover ".iso.7z" into such
// a ZIP that is then extracted onto the new partition.
#pragma once

#include <string>
#include <vector>

namespace fk {

struct CloverLocalDistrEntry {
  std::string Name;    // file name without directory
  int Rev = 0;         // 0 = no revision found
  std::string Source;  // "User's file" for ".7z" archives, empty for ZIPs
};

// The archives found by FindCloverLocalDistr, newest first.
extern std::vector<CloverLocalDistrEntry> CloverLocalDistr;
// Full path and revision text of the archive the data set comes from.
extern std::string CloverLocalSelectedName;
extern std::string CloverLocalSelectedRev;

// 1 when the file starts with a ZIP ("PK") or 7z ("7z") signature.
int Validate7zZIPFile(const std::string& path);
// The Clover revision in the root file "boot" of a ZIP ("Clover revision: N"); 0 when none.
int TestDataZip(const std::string& zipPath);
// Rebuilds CloverLocalDistr from Cfg().CloverLocalRepository and selects the newest archive.
int FindCloverLocalDistr();
// Local = 1: converts CloverLocalSelectedName (a ".iso.7z") into an FKL-ready ZIP with
// the Clover script and extracts it to Destination. Local = 0 downloads revision
// Cfg().CloverDLRev first. Returns 1 on success.
int DLAndExtractCloverFromCloverDistrISO(const std::string& Destination, int Local);

}  // namespace fk
