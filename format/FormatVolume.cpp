// Phase 6 of a format run: the first partition's volume formatted, its type
// corrected, remounted; then its partition boot records.
#include <cstdlib>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "disk/DiskList.h"
#include "disk/Volume.h"
#include "format/FormatJob.h"
#include "format/FormatService.h"

namespace fk {

namespace {

// The first partition's volume name, assigned when the system gave it none.
std::string FirstVolumeName(FormatJob& job) {
  std::string letter = CurrentDisk.Partition[0].DriveLetter;
  if (!letter.empty()) return letter;
  letter = AssignDriveLetter({CurrentDisk.DevicePath, CurrentDisk.Partition[0].StartingOffset});
  if (letter.empty()) {
    Log("> Phase 6 FormatThread: Error AssignDriveLetter()");
    job.Fail();
    return {};
  }
  CurrentDisk.DriveLetters = letter;
  CurrentDisk.Partition[0].DriveLetter = letter;
  Log("> Phase 6 FormatThread: Success AssignDriveLetter=" + letter);
  return letter;
}

}  // namespace

bool FormatFirstVolume(FormatJob& job) {
  const std::string letter = FirstVolumeName(job);
  if (letter.empty()) return false;
  job.logicalVolume = GetDriveHandle(0, letter, true, true);
  if (!job.logicalVolume) {
    return job.FailStatus("> Error open volume " + letter + " with lock", "Error open volume " + letter + " With lock",
                          2000);
  }
  Log("> Success open volume " + letter + " with lock");
  Log("> Unmount volume " + letter);
  UnmountDrive(job.logicalVolume);
  Log("> Close Handle volume " + letter);
  UnlockDrive(job.logicalVolume);
  job.logicalVolume.Close();

  job.ui.ShowStatus("Formatting Drive " + letter + "...", 2000);
  const std::string& fsChoice = job.set.FileSystem;
  const std::string fsName = fsChoice == "FAT32-LBA" ? std::string("FAT32") : fsChoice;
  const int cluster = std::atoi(job.cfg.ClusterSize.c_str());
  if (!FormatDriveEx(letter, fsName, job.cfg.VolumeLabel, job.cfg.QuickFormat, cluster)) {
    Log("> Error FormatDrive " + letter);
    MarkCurrentOpFailed();
    return false;
  }
  if (fsChoice == "FAT32-LBA" && !CorrectPartitionType(job.physicalDrive, fsChoice)) {
    return job.FailStatus("> Phase 6 Error correcting the partition type", "Error : Writing the partition type failed",
                          2000);
  }
  // The kernel re-reads the table for the new type and makes the nodes again.
  if (DriveHandleDevice(job.physicalDrive).UpdateProperties()) WaitForNewTable(job, "Phase 6");
  Log("> Remount Volume " + letter);
  RemountVolume(letter);
  job.volume = letter;
  return true;
}

bool WriteVolumeBootRecords(FormatJob& job) {
  if (job.set.PBRSectors <= 0) return true;
  if (InstallBootRecords(job.volume, job.set.FileSystem, job.set.PBRTemplate, job.mode)) return true;
  MarkCurrentOpFailed();
  return false;
}

}  // namespace fk
