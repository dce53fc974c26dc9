// Phases 1 to 5 of a format run: the disk locked, its volumes dismounted, the
// new partition table written, the disk found again and reopened.
#include <filesystem>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "disk/DiskList.h"
#include "format/BootRecords.h"
#include "format/FormatJob.h"
#include "platform/DeviceWait.h"
#include "platform/Disks.h"

namespace fk {

namespace {

bool OpenDiskForWrite(FormatJob& job, const char* phase) {
  const std::string disk = std::to_string(CurrentDisk.DiskNumber);
  job.physicalDrive = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
  if (!job.physicalDrive) {
    return job.FailStatus(std::string("> ") + phase + " Error open Disk" + disk + " for write&lock",
                          "Error opening the Disk" + disk + " for write&lock", 2000);
  }
  Log(std::string("> ") + phase + " Success open Disk" + disk + " for write&lock");
  return true;
}

// Phase 2: the old volumes are dismounted.
void DismountOldVolumes(FormatJob& job) {
  for (int slot = 0; slot < CurrentDisk.PartitionCount && slot < 4; ++slot) {
    const std::string letter = CurrentDisk.Partition[slot].DriveLetter;
    if (letter.empty()) continue;
    DriveHandle v = GetDriveHandle(0, letter, false, true);
    if (!v) {
      Log("> Phase 2 Error open volume " + letter + " for write&lock");
      job.ui.ShowStatus("Error open volume " + letter + " for write&lock", 2000);
      continue;
    }
    Log("> Phase 2 Success open volume " + letter + " for write&lock");
    Log("> Phase 2 try Unmount volume " + letter);
    UnmountDrive(v);
    Log("> Phase 2 try Unlock&Close Handle volume " + letter);
    UnlockDrive(v);
    v.Close();
  }
}

// Phase 3: the old MBR/GPT structures cleared, the new MBR written.
bool WritePartitionTable(FormatJob& job) {
  // The first write. A Cancel until now leaves the disk as it was.
  if (CurrentOpStopped())
    return job.FailStatus("> FormatThread: Cancelled before the first write", "Cancelled. Nothing was written.", 2000);
  job.ui.ShowStatus("Create PartitionTable", 0);
  const int64_t sector = CurrentDisk.Geometry.BytesPerSector;
  if (!ClearMBRGPT(job.physicalDrive, CurrentDisk.Geometry.DiskSize, sector) && !CurrentOpStopped()) {
    // Not a cancel: the disk refused a write. Do not go on writing to it.
    return job.FailStatus("> Phase 3 Error clearing MBR/GPT structures",
                          "Error : Clearing MBR/GPT structures failed", 2000);
  }
  MakePartitionTable(job.pt, job.Options());
  if (!WriteNewMBR(job.physicalDrive, job.pt, job.set.MBRTemplate)) {
    return job.FailStatus("> Phase 3 Error writing the new MBR", "Error : Writing the new MBR failed", 2000);
  }
  FinishUnlockClose("", "hPhysicalDrive", job.physicalDrive);
  WaitForNewTable(job, "Phase 3");
  return true;
}

// Phase 4: the disk as the system sees it with the new table.
bool FindDiskAgain(FormatJob& job) {
  GetAllDrives();
  bool found = false;
  for (const DiskRecord& d : AllDrives) {
    // Matched by device path: another disk arriving or leaving meanwhile
    // changes the numbers, never the path.
    if (d.DevicePath == CurrentDisk.DevicePath) {
      CurrentDisk = d;
      found = true;
      break;
    }
  }
  CurrentDisk.SelectedPartition = 0;
  Log("> Phase 4 FormatThread: CurrentDisk\\DiskNumber = " + std::to_string(CurrentDisk.DiskNumber));
  Log("> Phase 4 FormatThread: CurrentDisk\\SelectedPartition = " + std::to_string(CurrentDisk.SelectedPartition));
  Log("> Phase 4 FormatThread: CurrentDisk DriveLetters = " + CurrentDisk.DriveLetters);
  Log("> Phase 4 FormatThread: CurrentDisk\\BusType$ = " + CurrentDisk.BusType);
  if (!found) return job.FailStatus("> Phase 4 FormatThread: Error: the disk is gone", "Error : The disk is gone", 2000);
  return true;
}

}  // namespace

void WaitForNewTable(const FormatJob& job, const char* phase) {
  // An image file is read from sector 0 each time: nothing to wait for.
  if (!platform::IsBlockDevicePath(CurrentDisk.DevicePath)) return;
  const int64_t sector = CurrentDisk.Geometry.BytesPerSector > 0 ? CurrentDisk.Geometry.BytesPerSector : 512;
  std::vector<platform::ExpectedPartition> expected;
  for (int slot = 0; slot < 4; ++slot) {
    const PartitionEntry& e = job.pt.PartitionTable[slot];
    if (e.StartingSector == 0 || e.NumberOfSects == 0) continue;
    expected.push_back({slot + 1, int64_t{e.StartingSector} * sector, int64_t{e.NumberOfSects} * sector});
  }
  const std::string name = std::filesystem::path(CurrentDisk.DevicePath).filename().string();
  std::string detail;
  switch (platform::WaitForPartitions(DiskEnv().sysRoot, DiskEnv().devRoot, name, expected, kNewTableWaitMs,
                                      &detail)) {
    case platform::PartitionWait::Seen:
      break;
    case platform::PartitionWait::NotScanned:
      Log(std::string("> ") + phase + " " + name + " makes no partition nodes, nothing to wait for");
      break;
    case platform::PartitionWait::TimedOut:
      Log(std::string("> ") + phase + " Error: the new partition table is not in effect after " +
          std::to_string(kNewTableWaitMs) + " ms: " + detail);
      break;
  }
}

bool WriteLayout(FormatJob& job) {
  if (!job.HoldStorage() || !OpenDiskForWrite(job, "Phase 1")) return false;
  DismountOldVolumes(job);
  return WritePartitionTable(job) && FindDiskAgain(job) && OpenDiskForWrite(job, "Phase 5");
}

}  // namespace fk
