// The steps of one format run (FormatThread), each in its own file:
//   FormatClaim.cpp    question and claim of the disk, checks before writing,
//                      the confirmation
//   FormatLayout.cpp   phases 1 to 5: lock, dismount, new partition table,
//                      the disk found again
//   FormatVolume.cpp   phase 6: the volume formatted, its boot records
//   FormatDataSet.cpp  the data set (a download made ready before the
//                      confirmation) and the marker files
//   FormatThread.cpp   the order of the steps and the end section
// Every step takes the run's state and returns false when the run must go to
// the end section.
#pragma once

#include <string>

#include "app/Settings.h"
#include "app/Ui.h"
#include "disk/RawDisk.h"
#include "disk/StorageLock.h"
#include "format/DiskLayout.h"
#include "format/PartitionTable.h"

namespace fk {

struct FormatJob {
  FormatJob(int installFull, Ui& ui, Settings& cfg) : installFull(installFull), ui(ui), cfg(cfg) {}

  int installFull;
  Ui& ui;
  Settings& cfg;
  std::string mode;  // Boot_records of this run; "Not_Format" for any unknown value
  BootRecordSet set;
  DriveHandle physicalDrive;
  DriveHandle logicalVolume;
  // The storage under the disk, held from the first write (or the Not_Format
  // hold) to the end of the run, also while the disk itself is closed for the
  // kernel to read the new table: no other program writes it meanwhile.
  StorageLock storage;
  int gadgetIndexSave = -1;
  std::string deviceText;
  PT pt{};
  std::string volume;  // the formatted volume's name, once phase 6 has made it
  // Set by exits that do not mark the operation failed (refusals, a failed
  // volume name, an unusable data set): such a run must not end with "All done".
  bool failed = false;
  bool declined = false;  // the confirmation was not answered OK
  std::string error;      // the status text of the failure, when one was shown
  // The "DL" data set or a local release archive, made ready before the confirmation.
  std::string dlZip;
  bool dlDownloaded = false;

  // The run was cancelled, declined or has failed: it goes to the end section.
  bool Stopped() const;
  // Marks the run as failed; returns false for "return Fail();".
  bool Fail();
  // Logs, shows the status text for ms and fails the run.
  bool FailStatus(const std::string& logLine, const std::string& status, int ms);
  // The partition options of the settings.
  PartitionOptions Options() const;
  // Takes the hold on the storage under CurrentDisk; fails the run when
  // another program holds it.
  bool HoldStorage();
};

// Question and claim of the disk: the selected disk, the system-disk refusal,
// the non-USB question, the boot-record mode and its settings.
bool ClaimDisk(FormatJob& job);
// Checks that must pass before anything on the disk is written. They run after
// the disk is claimed and before the confirmation question; a check that fails
// logs its reason, shows it and returns false (nothing has been written).
bool CheckBeforeWrite(FormatJob& job);
// The "DL" data set: the release check when no revision is chosen, then the
// archive downloaded (or found in the local repository), checked and
// converted, all before the confirmation, so that a failure leaves the disk
// as it was; a local release archive (".7z") is converted the same way. True
// when there is nothing to do or the data set is ready.
bool PrepareDownloadedDataSet(FormatJob& job);
// The "WARNING" question; then a cancel that came meanwhile and a disk swapped
// while it was open stop the run.
bool Confirm(FormatJob& job);
// The confirmation's task summary ("Task:\t..." to the data-set line).
std::string TaskSummary(const FormatJob& job);
// Not_Format: holds the disk (read, locked) while the data set is copied.
bool HoldDisk(FormatJob& job);
// Phases 1 to 5: the disk locked, its volumes dismounted, the old MBR/GPT
// cleared, the new MBR written, the disk found again and reopened.
bool WriteLayout(FormatJob& job);
// How long the run waits for the kernel (and udev) to show a new table.
inline constexpr int kNewTableWaitMs = 5000;
// Waits until the kernel shows the partitions of job.pt on CurrentDisk, with
// their nodes, and udev has handled them; logs when it gave up. Nothing to
// wait for on an image file or a disk that makes no partition nodes.
void WaitForNewTable(const FormatJob& job, const char* phase);
// Phase 6: the first partition's volume is formatted, its type corrected and
// remounted.
bool FormatFirstVolume(FormatJob& job);
// The partition boot records of the chosen set on the formatted volume.
bool WriteVolumeBootRecords(FormatJob& job);
// The data set (FreeDOS pack or Clover archive) and the marker files; lets go
// of the physical drive afterwards.
void InstallDataSet(FormatJob& job);
// The end section: closes what the run opened, reports, rebuilds the drive
// list. 1 when the run completed.
int EndFormatJob(FormatJob& job);

}  // namespace fk
