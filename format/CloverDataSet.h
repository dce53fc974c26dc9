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

// The "DL" data set in two steps, so that the download and the conversion end
// before anything on the disk is touched:
//   1. PrepareCloverDLDataSet gets the FKL-ready ZIP of revision Cfg().CloverDLRev:
//      one saved earlier in the local repository, or made from that revision's
//      ".iso.7z" found there or downloaded. Returns the ZIP's path, "" after the
//      failure was shown; *downloaded tells whether the archive was downloaded.
//   2. InstallPreparedCloverDataSet extracts it to Destination (and saves a
//      downloaded one to the repository when SaveLatestCloverAfterDL is 1).
std::string PrepareCloverDLDataSet(bool* downloaded);
// The same first step for a local ".iso.7z" (CloverLocalSelectedName): copied
// to the work directory and converted. The ZIP's path, "" after the failure was
// shown (its reason noted).
std::string PrepareLocalIsoDataSet();
int InstallPreparedCloverDataSet(const std::string& readyZip, bool downloaded, const std::string& Destination);

// Downloads the archive of Cfg().CloverDLRev into work on the download worker and waits
// for it at most the download time limit; on a time-out or a cancel of the run
// the download is cancelled and waited for. Returns the archive's path in the
// work directory once it is there and carries an archive signature; "" else.
std::string DownloadCloverArchive(const std::string& work);

// The time limit of the download (300 s); tests shorten it. 0 restores it.
inline constexpr int kCloverDownloadTimeoutMs = 300000;
void SetCloverDownloadTimeoutMs(int ms);

}  // namespace fk
