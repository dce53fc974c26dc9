// Question and claim of the disk, checks before writing, the confirmation.
#include <filesystem>

#include "app/Log.h"
#include "app/Runner.h"
#include "app/Utilities.h"
#include "disk/DiskList.h"
#include "disk/Volume.h"
#include "format/BootCode.h"
#include "format/CloverDataSet.h"
#include "format/FormatJob.h"
#include "format/Packs.h"
#include "format/PreChecks.h"

namespace fk {

namespace fs = std::filesystem;

namespace {

constexpr const char* kQuitQuestion = "To Continue with this operation, click OK.\r\nTo quit click CANCEL.";

std::string AlignText(const std::string& start) {
  if (start == "63") return "Align:\tto cylinder (63 sects)\r\n";
  if (start == "2048") return "Align:\tto flash block (2048 sects)\r\n";
  return "Align:\tto " + start + " (sects)\r\n";
}

// The volume the data set goes to: slot 0's volume name.
std::string FirstVolume() { return VolumeAccessName(CurrentDisk, 0); }

// A Clover run needs FAT32 or exFAT, and a local data set that can be read.
bool CheckCloverSettings(FormatJob& job) {
  const Settings& c = job.cfg;
  if (c.FileSystem != "FAT32-LBA" && c.FileSystem != "FAT32" && c.FileSystem != "exFAT") {
    Log("> Select FileSystem : FAT32-LBA or exFAT only!");
    job.ui.ShowStatus("Error : Select FileSystem : FAT32-LBA Or exFAT only!", 5000);
    return job.Fail();
  }
  if (c.InstallDataSet != "Local") return true;
  std::error_code ec;
  auto size = fs::file_size(CloverLocalSelectedName, ec);
  if (!ec && size > 0) {
    Log("> Open CloverLocalSelectedName$ = " + CloverLocalSelectedName);
    job.ui.ShowStatus("Success Read Local Data set", 2000);
    return true;
  }
  Log("> Not Exist CloverLocalSelectedName$ = " + CloverLocalSelectedName);
  job.ui.ShowStatus("Can't Read Local Data set", 2000);
  job.ui.MessageBox("Warning",
                    "WARNING: Sorry, Not Found Any Clover Distr in Local Repository: \r\n" + c.CloverLocalRepository,
                    MsgButtons::Ok, MsgIcon::Warning);
  return job.Fail();
}

// The stick may have been swapped while the question was open: write only
// to the very disk the user confirmed.
bool SameDiskAsConfirmed(FormatJob& job) {
  const DiskRecord confirmed = CurrentDisk;
  GetAllDrives();
  for (const DiskRecord& d : AllDrives) {
    if (d.DevicePath != confirmed.DevicePath) continue;
    if (d.Size == confirmed.Size && d.VendorId == confirmed.VendorId && d.ProductId == confirmed.ProductId &&
        !d.SystemDisk) {
      // Other devices coming or going renumber the disks: follow this one.
      CurrentDisk.DiskNumber = d.DiskNumber;
      return true;
    }
    break;
  }
  return job.FailStatus("> FormatThread: Error: the selected disk " + confirmed.DevicePath +
                            " changed after the confirmation; nothing was written",
                        "Error : The selected disk has changed. Nothing was written.", 5000);
}

}  // namespace

bool ClaimDisk(FormatJob& job) {
  Ui& ui = job.ui;
  job.gadgetIndexSave = ui.SelectedTreeLine();
  Log("> FormatThread Save GadgetIndexSave = " + std::to_string(job.gadgetIndexSave));

  if (!SetCurrentDisk()) return job.FailStatus("> FormatThread Error SetCurrentDisk", kSelectDriveStatus, 0);
  if (CurrentDisk.SystemDisk || IsSystemDiskPath(CurrentDisk.DevicePath)) {
    Log("> FormatThread: Not permitted! You selected a System Drive.");
    ui.MessageBox("Error", "Sorry, operation not permitted!\r\nYou selected a System Drive.", MsgButtons::Ok,
                  MsgIcon::Warning);
    return job.Fail();
  }
  if (CurrentDisk.BusType != "USB") {
    Log("> FormatThread: WARNING: Target Drive is Not USB Disk!");
    MsgAnswer a =
        ui.MessageBox("Warning", std::string("Are You sure?\r\nTarget Drive is Not USB Disk!\r\n\r\n") + kQuitQuestion,
                      MsgButtons::OkCancel, MsgIcon::Warning);
    if (a != MsgAnswer::Ok) {
      Log("> FormatThread: Exit: Target Drive is Not USB Disk!");
      return job.Fail();
    }
  }

  job.mode = job.cfg.Boot_records;
  if (job.mode == "Windows") {
    Log("> Windows_Format Starting ...");
  } else if (job.mode == "FreeDos") {
    Log("> FreeDos_Format Starting ...");
    if (job.cfg.FileSystem != "FAT32-LBA") {
      // FreeDOS boots from FAT32-LBA only; the choice is kept for the next run.
      job.cfg.FileSystem = "FAT32-LBA";
      if (const OpContext* op = CurrentOp()) op->ApplySettings([](Settings& s) { s.FileSystem = "FAT32-LBA"; });
    }
  } else if (job.mode == "Clover") {
    Log("> Clover_Format Starting ...");
    if (!CheckCloverSettings(job)) return false;
  } else {
    job.mode = "Not_Format";
    Log("> Found Not Format Boot Records Selected ...");
  }
  Log("> FormatThread Boot_records$ = " + job.mode);
  job.set = ChooseBootRecords(job.mode, job.cfg.FileSystem);
  return true;
}

bool CheckBeforeWrite(FormatJob& job) {
  if (job.mode != "Not_Format") {
    // The layout depends only on the disk and the settings: refuse a layout
    // that cannot be written before anything on the disk is touched.
    PartitionTableResult r = ComputePartitionTable(CurrentDiskGeometry(), job.Options(), job.pt);
    if (!r) {
      Log("> FormatThread: Error MakePartitionTable: " + r.message);
      job.ui.ShowStatus("Error : " + r.message, 5000);
      return job.Fail();
    }
    const BootRecordSet& set = job.set;
    if (!FindBootTemplate(set.MBRTemplate) || (!set.PBRTemplate.empty() && !FindBootTemplate(set.PBRTemplate))) {
      Log("> FormatThread: Error AllocateMemory for the boot record templates");
      return job.Fail();
    }
  }
  // Everything else that can make the run fail: the data set read whole, the
  // label, the volume's size, the FreeDOS pack.
  if (job.mode == "FreeDos" && !FindPack(kPackFreeDosDataSet))
    return job.FailStatus(std::string("> FormatThread: ") + kNoFreeDosDataSetText,
                          std::string("Error : ") + kNoFreeDosDataSetText, 5000);
  RunPlan plan;
  plan.bootRecords = job.mode;
  plan.fileSystem = job.mode == "Not_Format" ? CurrentDisk.Partition[0].FileSystemName : job.cfg.FileSystem;
  plan.label = job.cfg.VolumeLabel;
  plan.volumeBytes = job.mode == "Not_Format"
                         ? CurrentDisk.Partition[0].PartitionLength
                         : int64_t{job.pt.PartitionTable[0].NumberOfSects} * CurrentDisk.Geometry.BytesPerSector;
  const std::string ext = fs::path(CloverLocalSelectedName).extension().string();
  if (job.installFull == 1 && job.mode != "FreeDos" && job.cfg.InstallDataSet == "Local" && ext == ".zip")
    plan.dataSetZip = CloverLocalSelectedName;
  plan.stagingDir = PackWorkDir().empty() ? GetTemporaryDirectory() : PackWorkDir();
  const RunCheck check = CheckRun(plan);
  if (check) return true;
  job.error = "Error : " + check.text;
  job.ui.ShowStatus(job.error, 5000);
  job.ui.MessageBox("Error", check.text + "\r\nNothing was written.", MsgButtons::Ok, MsgIcon::Error);
  return job.Fail();
}

std::string TaskSummary(const FormatJob& job) {
  const std::string& mode = job.mode;
  const Settings& c = job.cfg;
  std::string t = "Task:\t";
  if (job.installFull == 1) t += "Install Full Data";
  else if (mode == "Windows") t += "Windows format only ";
  else if (mode == "FreeDos") t += "";
  else if (mode == "Clover") t += "Clover format only";
  else t += "Not Format";
  t += "\r\n";
  if (mode == "Windows") {
    t += "MBR:\tUSB-HDD+ (UltraISO)\r\nPBR:\tStandart (Windows)\r\n";
  } else if (mode == "FreeDos") {
    t += "MBR:\tUSB-HDD+ (UltraISO)\r\nPBR:\tFat32LBA(FreeDos)\r\n";
  } else if (mode == "Clover") {
    t += "MBR:\tboot0 (Clover)\r\n";
    t += c.FileSystem == "exFAT" ? "PBR:\tboot1xalt (Clover)\r\n" : "PBR:\tboot1f32alt (Clover)\r\n";
  }
  if (mode != "Not_Format") {
    t += AlignText(c.StartLBASector);
    t += "FS:\t" + c.FileSystem + "\r\n";
  }
  if (mode == "Clover" || mode == "Not_Format") {
    t += "Clover:\t" + c.InstallDataSet;
    if (c.InstallDataSet == "DL") {
      t += c.CloverDLRev == "0" ? " Latest Rev." : " r" + c.CloverDLRev;
    } else if (c.InstallDataSet == "Local") {
      t += " r" + CloverLocalSelectedRev + " from\r\n\t" + fs::path(CloverLocalSelectedName).filename().string();
    }
  }
  t += "\r\n";
  return t;
}

bool Confirm(FormatJob& job) {
  job.deviceText = CurrentDisk.VendorId + " " + CurrentDisk.ProductId + " " + FormatSize(CurrentDisk.Size, 0);
  if (!CurrentDisk.DriveLetters.empty()) job.deviceText += " (" + CurrentDisk.DriveLetters + ")";
  if (job.mode == "Not_Format") {
    // Without formatting, the data set needs an existing volume on slot 0.
    const PartitionRecord& p0 = CurrentDisk.Partition[0];
    if (p0.PartitionLength == 0 || p0.FileSystemName.empty() || FirstVolume().empty()) {
      Log("> Can't copy Boot Data Set Files - Dest Disk Don't Have Letter!");
      job.ui.ShowStatus("Error : Can't copy Boot Data Set Files - Dest Disk Don't Have a Letter!", 5000);
      return job.Fail();
    }
    // Files written into a volume that shares sectors with another partition
    // could land in that partition.
    if (p0.Unusable()) {
      Log("> Can't copy Boot Data Set Files - " + p0.UnusableText());
      job.ui.ShowStatus("Error : Can't copy Boot Data Set Files - " + p0.UnusableText(), 5000);
      return job.Fail();
    }
  }
  MsgAnswer a = job.ui.MessageBox("WARNING",
                                  "ALL DATA ON DEVICE:\r\n" + job.deviceText + "\r\nWILL BE DESTROYED.\r\n\r\n" +
                                      TaskSummary(job) + "\r\n" + kQuitQuestion,
                                  MsgButtons::OkCancel, MsgIcon::Warning);
  if (a != MsgAnswer::Ok) {
    job.declined = true;
    return false;
  }
  // A Cancel (or Ctrl-C) that came during the checks or while the question
  // was open is not undone by the OK.
  if (CurrentOpStopped()) {
    Log("> FormatThread: Cancelled before the first write");
    return false;
  }
  return SameDiskAsConfirmed(job);
}

// Without formatting the data set goes onto the volume as it is. A volume
// the desktop has mounted is taken off first and the disk is held until the
// end: writing its file system raw under a live mount would corrupt it.
bool HoldDisk(FormatJob& job) {
  const std::string disk = std::to_string(CurrentDisk.DiskNumber);
  if (!job.HoldStorage()) return false;
  job.physicalDrive = GetDriveHandle(CurrentDisk.DiskNumber, "", false, true);
  if (!job.physicalDrive) {
    return job.FailStatus("> FormatThread: Error open Disk" + disk + " for lock",
                          "Error opening the Disk" + disk + " for lock", 2000);
  }
  Log("> FormatThread: Success open Disk" + disk + " for lock");
  return true;
}

}  // namespace fk
