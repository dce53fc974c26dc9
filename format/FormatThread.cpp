#include "format/FormatThread.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "disk/DiskList.h"
#include "disk/RawDisk.h"
#include "disk/Volume.h"
#include "format/BootCode.h"
#include "format/CloverDataSet.h"
#include "format/DiskLayout.h"
#include "format/FormatService.h"
#include "format/Packs.h"
#include "format/PartitionTable.h"
#include "format/VolumeFiles.h"

namespace fk {

namespace fs = std::filesystem;

int InstallFullForSettings() {
  const Settings& c = Cfg();
  if (c.Boot_records == "Clover" || c.Boot_records == "Not_Format") return c.InstallDataSet == "Not_Install" ? 0 : 1;
  if (c.Boot_records == "FreeDos") return 1;
  return 0;
}

namespace {

constexpr const char* kQuitQuestion = "To Continue with this operation, click OK.\r\nTo quit click CANCEL.";

std::string AlignText(const std::string& start) {
  if (start == "63") return "Align:\tto cylinder (63 sects)\r\n";
  if (start == "2048") return "Align:\tto flash block (2048 sects)\r\n";
  return "Align:\tto " + start + " (sects)\r\n";
}

std::string ExtensionOf(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// One format run. Every exit goes through End(), which closes what the run opened.
class FormatJob {
 public:
  explicit FormatJob(int installFull) : installFull_(installFull), ui_(GetUi()), cfg_(Cfg()) {}

  int Run() {
    if (Prepare() && Confirm()) {
      if (mode_ == "Not_Format" ? HoldDisk() : (Phases() && !Stopped())) DataSet();
    }
    return End();
  }

 private:
  int installFull_;
  Ui& ui_;
  Settings& cfg_;
  std::string mode_;
  BootRecordSet set_;
  DriveHandle hPhysicalDrive_;
  DriveHandle hLogicalVolume_;
  int gadgetIndexSave_ = -1;
  // Set by exits that FormatStatus does not mark (refusals, a failed volume
  // name, an unusable data set): such a run must not end with "All done".
  bool failed_ = false;
  std::string deviceText_;
  PT pt_{};

  bool Stopped() const { return FormatStatus != 0 || failed_; }
  bool Fail() {
    failed_ = true;
    return false;
  }
  bool FailStatus(const std::string& logLine, const std::string& status, int ms) {
    Log(logLine);
    ui_.ShowStatus(status, ms);
    FormatStatus = 1;
    return false;
  }

  bool Prepare() {
    gadgetIndexSave_ = ui_.SelectedTreeLine();
    Log("> FormatThread Save GadgetIndexSave = " + std::to_string(gadgetIndexSave_));
    ui_.SetControlEnabled(Control::Tree_DestinationDisk, false);
    format_op_in_progress = 1;

    if (!SetCurrentDisk()) {
      Log("> FormatThread Error SetCurrentDisk");
      return Fail();
    }
    if (CurrentDisk.SystemDisk || IsSystemDiskPath(CurrentDisk.DevicePath)) {
      Log("> FormatThread: Not permitted! You selected a System Drive.");
      ui_.MessageBox("Error", "Sorry, operation not permitted!\r\nYou selected a System Drive.", MsgButtons::Ok,
                     MsgIcon::Warning);
      return Fail();
    }
    if (CurrentDisk.BusType != "USB") {
      Log("> FormatThread: WARNING: Target Drive is Not USB Disk!");
      MsgAnswer a = ui_.MessageBox(
          "Warning", std::string("Are You sure?\r\nTarget Drive is Not USB Disk!\r\n\r\n") + kQuitQuestion,
          MsgButtons::OkCancel, MsgIcon::Warning);
      if (a != MsgAnswer::Ok) {
        Log("> FormatThread: Exit: Target Drive is Not USB Disk!");
        return Fail();
      }
    }

    mode_ = cfg_.Boot_records;
    if (mode_ == "Windows") {
      Log("> Windows_Format Starting ...");
    } else if (mode_ == "FreeDos") {
      Log("> FreeDos_Format Starting ...");
      if (cfg_.FileSystem != "FAT32-LBA") cfg_.FileSystem = "FAT32-LBA";
    } else if (mode_ == "Clover") {
      Log("> Clover_Format Starting ...");
      if (cfg_.FileSystem != "FAT32-LBA" && cfg_.FileSystem != "FAT32" && cfg_.FileSystem != "exFAT") {
        Log("> Select FileSystem : FAT32-LBA or exFAT only!");
        ui_.ShowStatus("Error : Select FileSystem : FAT32-LBA Or exFAT only!", 5000);
        return Fail();
      }
      if (cfg_.InstallDataSet == "Local") {
        std::error_code ec;
        auto size = fs::file_size(CloverLocalSelectedName, ec);
        if (!ec && size > 0) {
          Log("> Open CloverLocalSelectedName$ = " + CloverLocalSelectedName);
          ui_.ShowStatus("Success Read Local Data set", 2000);
        } else {
          Log("> Not Exist CloverLocalSelectedName$ = " + CloverLocalSelectedName);
          ui_.ShowStatus("Can't Read Local Data set", 2000);
          ui_.MessageBox("Warning",
                         "WARNING: Sorry, Not Found Any Clover Distr in Local Repository: \r\n" +
                             cfg_.CloverLocalRepository,
                         MsgButtons::Ok, MsgIcon::Warning);
          return Fail();
        }
      }
    } else {
      mode_ = "Not_Format";
      Log("> Found Not Format Boot Records Selected ...");
    }
    Log("> FormatThread Boot_records$ = " + mode_);
    set_ = ChooseBootRecords(mode_, cfg_.FileSystem);

    if (mode_ != "Not_Format") {
      // The layout depends only on the disk and the settings: refuse a layout
      // that cannot be written before anything on the disk is touched.
      PartitionOptions opt = Options();
      PartitionTableResult r = ComputePartitionTable(CurrentDiskGeometry(), opt, pt_);
      if (!r) {
        Log("> FormatThread: Error MakePartitionTable: " + r.message);
        ui_.ShowStatus("Error : " + r.message, 5000);
        return Fail();
      }
      if (!FindBootTemplate(set_.MBRTemplate) || (!set_.PBRTemplate.empty() && !FindBootTemplate(set_.PBRTemplate))) {
        Log("> FormatThread: Error AllocateMemory for the boot record templates");
        return Fail();
      }
    }
    return true;
  }

  PartitionOptions Options() const {
    PartitionOptions opt;
    opt.StartLBASector = cfg_.StartLBASector;
    opt.MultiPartitions = cfg_.MultiPartitions;
    opt.BootPartitionSize = cfg_.BootPartitionSize;
    return opt;
  }

  std::string TaskSummary() const {
    std::string t = "Task:\t";
    if (installFull_ == 1) t += "Install Full Data";
    else if (mode_ == "Windows") t += "Windows format only ";
    else if (mode_ == "FreeDos") t += "";
    else if (mode_ == "Clover") t += "Clover format only";
    else t += "Not Format";
    t += "\r\n";
    if (mode_ == "Windows") {
      t += "MBR:\tUSB-HDD+ (UltraISO)\r\nPBR:\tStandart (Windows)\r\n";
    } else if (mode_ == "FreeDos") {
      t += "MBR:\tUSB-HDD+ (UltraISO)\r\nPBR:\tFat32LBA(FreeDos)\r\n";
    } else if (mode_ == "Clover") {
      t += "MBR:\tboot0 (Clover)\r\n";
      t += cfg_.FileSystem == "exFAT" ? "PBR:\tboot1xalt (Clover)\r\n" : "PBR:\tboot1f32alt (Clover)\r\n";
    }
    if (mode_ != "Not_Format") {
      t += AlignText(cfg_.StartLBASector);
      t += "FS:\t" + cfg_.FileSystem + "\r\n";
    }
    if (mode_ == "Clover" || mode_ == "Not_Format") {
      t += "Clover:\t" + cfg_.InstallDataSet;
      if (cfg_.InstallDataSet == "DL") {
        t += cfg_.CloverDLRev == "0" ? " Latest Rev." : " r" + cfg_.CloverDLRev;
      } else if (cfg_.InstallDataSet == "Local") {
        t += " r" + CloverLocalSelectedRev + " from\r\n\t" + fs::path(CloverLocalSelectedName).filename().string();
      }
    }
    t += "\r\n";
    return t;
  }

  // The volume the data set goes to: slot 0's volume name.
  std::string FirstVolume() const { return VolumeAccessName(CurrentDisk, 0); }

  bool Confirm() {
    deviceText_ = CurrentDisk.VendorId + " " + CurrentDisk.ProductId + " " + FormatSize(CurrentDisk.Size, 0);
    if (!CurrentDisk.DriveLetters.empty()) deviceText_ += " (" + CurrentDisk.DriveLetters + ")";
    if (mode_ == "Not_Format") {
      // Without formatting, the data set needs an existing volume on slot 0.
      const PartitionRecord& p0 = CurrentDisk.Partition[0];
      if (p0.PartitionLength == 0 || p0.FileSystemName.empty() || FirstVolume().empty()) {
        Log("> Can't copy Boot Data Set Files - Dest Disk Don't Have Letter!");
        ui_.ShowStatus("Error : Can't copy Boot Data Set Files - Dest Disk Don't Have a Letter!", 5000);
        return Fail();
      }
    }
    MsgAnswer a = ui_.MessageBox("WARNING",
                                 "ALL DATA ON DEVICE:\r\n" + deviceText_ + "\r\nWILL BE DESTROYED.\r\n\r\n" +
                                     TaskSummary() + "\r\n" + kQuitQuestion,
                                 MsgButtons::OkCancel, MsgIcon::Warning);
    if (a != MsgAnswer::Ok) {
      FormatStatus = 1;
      return false;
    }
    // A Cancel (or Ctrl-C) that came during the checks or while the question
    // was open must not be wiped out by the OK below.
    if (FormatStatus != 0 || CancelMainThread != 0) {
      Log("> FormatThread: Cancelled before the first write");
      FormatStatus = 1;
      return false;
    }
    ui_.SetControlText(Control::Button_Format, "Cancel");
    FormatStatus = 0;
    if (!SameDiskAsConfirmed()) return false;
    return true;
  }

  // The stick may have been swapped while the question was open: write only
  // to the very disk the user confirmed.
  bool SameDiskAsConfirmed() {
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
    return FailStatus("> FormatThread: Error: the selected disk " + confirmed.DevicePath +
                          " changed after the confirmation; nothing was written",
                      "Error : The selected disk has changed. Nothing was written.", 5000);
  }

  // Without formatting the data set goes onto the volume as it is. A volume
  // the desktop has mounted is taken off first and the disk is held until the
  // end: writing its file system raw under a live mount would corrupt it.
  bool HoldDisk() {
    const std::string disk = std::to_string(CurrentDisk.DiskNumber);
    hPhysicalDrive_ = GetDriveHandle(CurrentDisk.DiskNumber, "", false, true);
    if (!hPhysicalDrive_) {
      return FailStatus("> FormatThread: Error open Disk" + disk + " for lock",
                        "Error opening the Disk" + disk + " for lock", 2000);
    }
    Log("> FormatThread: Success open Disk" + disk + " for lock");
    return true;
  }

  bool Phases() {
    std::string disk = std::to_string(CurrentDisk.DiskNumber);
    // Phase 1
    hPhysicalDrive_ = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
    if (!hPhysicalDrive_) {
      return FailStatus("> Phase 1 Error open Disk" + disk + " for write&lock",
                        "Error opening the Disk" + disk + " for write&lock", 2000);
    }
    Log("> Phase 1 Success open Disk" + disk + " for write&lock");

    // Phase 2: the old volumes are dismounted.
    for (int slot = 0; slot < CurrentDisk.PartitionCount && slot < 4; ++slot) {
      const std::string letter = CurrentDisk.Partition[slot].DriveLetter;
      if (letter.empty()) continue;
      DriveHandle v = GetDriveHandle(0, letter, false, true);
      if (!v) {
        Log("> Phase 2 Error open volume " + letter + " for write&lock");
        ui_.ShowStatus("Error open volume " + letter + " for write&lock", 2000);
        continue;
      }
      Log("> Phase 2 Success open volume " + letter + " for write&lock");
      Log("> Phase 2 try Unmount volume " + letter);
      UnmountDrive(v);
      Log("> Phase 2 try Unlock&Close Handle volume " + letter);
      UnlockDrive(v);
      v.Close();
    }

    // Phase 3
    ui_.ShowStatus("Create PartitionTable", 0);
    const int64_t sector = CurrentDisk.Geometry.BytesPerSector;
    if (!ClearMBRGPT(hPhysicalDrive_, CurrentDisk.Geometry.DiskSize, sector) && FormatStatus == 0) {
      // Not a cancel: the disk refused a write. Do not go on writing to it.
      return FailStatus("> Phase 3 Error clearing MBR/GPT structures", "Error : Clearing MBR/GPT structures failed",
                        2000);
    }
    MakePartitionTable(pt_, Options());
    if (!WriteNewMBR(hPhysicalDrive_, pt_, set_.MBRTemplate)) {
      return FailStatus("> Phase 3 Error writing the new MBR", "Error : Writing the new MBR failed", 2000);
    }
    FinishUnlockClose("", "hPhysicalDrive", hPhysicalDrive_);
    PauseMs(500);

    // Phase 4
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
    if (!found) {
      return FailStatus("> Phase 4 FormatThread: Error: the disk is gone", "Error : The disk is gone", 2000);
    }

    // Phase 5
    disk = std::to_string(CurrentDisk.DiskNumber);
    hPhysicalDrive_ = GetDriveHandle(CurrentDisk.DiskNumber, "", true, true);
    if (!hPhysicalDrive_) {
      return FailStatus("> Phase 5 Error open Disk" + disk + " for write&lock",
                        "Error opening the Disk" + disk + " for write&lock", 2000);
    }
    Log("> Phase 5 Success open Disk" + disk + " for write&lock");

    // Phase 6
    std::string letter = CurrentDisk.Partition[0].DriveLetter;
    if (letter.empty()) {
      const std::string device =
          CurrentDisk.DevicePath + "@@" + std::to_string(CurrentDisk.Partition[0].StartingOffset);
      letter = AssignDriveLetter(device);
      if (letter.empty()) {
        Log("> Phase 6 FormatThread: Error AssignDriveLetter()");
        return Fail();
      }
      CurrentDisk.DriveLetters = letter;
      CurrentDisk.Partition[0].DriveLetter = letter;
      Log("> Phase 6 FormatThread: Success AssignDriveLetter=" + letter);
    }
    hLogicalVolume_ = GetDriveHandle(0, letter, true, true);
    if (!hLogicalVolume_) {
      return FailStatus("> Error open volume " + letter + " with lock", "Error open volume " + letter + " With lock",
                        2000);
    }
    Log("> Success open volume " + letter + " with lock");
    Log("> Unmount volume " + letter);
    UnmountDrive(hLogicalVolume_);
    Log("> Close Handle volume " + letter);
    UnlockDrive(hLogicalVolume_);
    hLogicalVolume_.Close();

    ui_.ShowStatus("Formatting Drive " + letter + "...", 2000);
    const std::string fsName = set_.FileSystem == "FAT32-LBA" ? std::string("FAT32") : set_.FileSystem;
    const int cluster = std::atoi(cfg_.ClusterSize.c_str());
    if (!FormatDriveEx(letter, fsName, cfg_.VolumeLabel, cfg_.QuickFormat, cluster)) {
      Log("> Error FormatDrive " + letter);
      FormatStatus = 1;
      return false;
    }
    if (set_.FileSystem == "FAT32-LBA" && !CorrectPartitionType(hPhysicalDrive_, set_.FileSystem)) {
      return FailStatus("> Phase 6 Error correcting the partition type", "Error : Writing the partition type failed",
                        2000);
    }
    PauseMs(500);
    DriveHandleDevice(hPhysicalDrive_).UpdateProperties();
    Log("> Remount Volume " + letter);
    RemountVolume(letter);

    if (set_.PBRSectors > 0 &&
        !InstallBootRecords(letter, set_.FileSystem, set_.PBRTemplate, mode_)) {
      FormatStatus = 1;
      return false;
    }
    volume_ = letter;
    return true;
  }

  std::string volume_;

  void DataSet() {
    std::string letter = volume_.empty() ? FirstVolume() : volume_;
    if (mode_ == "FreeDos") {
      if (!ExtractPack(kPackFreeDosDataSet, letter, 1, 1)) {
        Log("> FormatThread: Result=#False");
        ui_.ShowStatus(WithFailureReason("FreeDos Data set files Not Installed"), 2000);
        failed_ = true;
      } else {
        ui_.ShowStatus("FreeDos Data set files Installed", 2000);
      }
    } else if (installFull_ == 1) {
      int result = 0;
      if (cfg_.InstallDataSet == "Local") {
        Log("> InstallDataSet$=Local");
        const std::string ext = ExtensionOf(CloverLocalSelectedName);
        Log("> FormatThread: File Extension: " + ext);
        const std::string name = fs::path(CloverLocalSelectedName).filename().string();
        if (ext == "zip") {
          if (Validate7zZIPFile(CloverLocalSelectedName)) {
            result = ExtractDataZip(nullptr, 0, letter, 0, CloverLocalSelectedName, 1, 0);
          } else {
            ui_.ShowStatus("Not ZIP archive file: " + name, 2000);
          }
        } else if (ext == "7z") {
          Log("> FormatThread: selected: " + ext);
          if (Validate7zZIPFile(CloverLocalSelectedName)) {
            result = DLAndExtractCloverFromCloverDistrISO(letter, 1);
          } else {
            ui_.ShowStatus("Not 7z archive file: " + name, 2000);
          }
        }
      } else if (cfg_.InstallDataSet == "DL") {
        Log("> InstallDataSet$=DL");
        Log("> CloverDLRev$=" + cfg_.CloverDLRev);
        if (std::atoi(cfg_.CloverDLRev.c_str()) == 0) {
          // The release check of the Clover download runs here once it exists;
          // this build cannot reach the release page.
          Log("> CloverLastRev$=" + cfg_.CloverLastRev);
          Log("> Error Check Clover Last Revision");
          ui_.ShowStatus("Error Check Clover Last Revision", 2000);
        } else {
          result = DLAndExtractCloverFromCloverDistrISO(letter, 0);
        }
      } else {
        Log("> InstallDataSet$=" + cfg_.InstallDataSet);
        failed_ = true;
        return;
      }
      if (result == 0) {
        Log("> FormatThread: Result=#False");
        ui_.ShowStatus(WithFailureReason("Clover Data set files Not Installed"), 2000);
        failed_ = true;
      } else {
        HiddenMacFiles(letter);
        ui_.ShowStatus("Clover Data set files Installed", 2000);
      }
    }
    Log("> UnlockClose hPhysicalDrive = " + std::to_string(hPhysicalDrive_.value()));
    if (hPhysicalDrive_) {
      UnlockDrive(hPhysicalDrive_);
      hPhysicalDrive_.Close();
    }
  }

  // ".metadata_never_index" and ".fseventsd/no_log", all hidden, keep macOS
  // from indexing the boot partition and logging file-system events on it.
  void HiddenMacFiles(const std::string& letter) {
    VolumeTarget target;
    std::string error;
    if (!ResolveVolume(letter, &target, &error)) {
      Log("> FormatThread: Error create " + letter + "/.metadata_never_index: " + error);
      return;
    }
    const std::string work = CreateTempWorkDir() ? FklTempWorkDir() : std::string();
    const std::string stage = (work.empty() ? GetTemporaryDirectory() : work) + "macfiles";
    std::error_code ec;
    fs::remove_all(stage, ec);
    fs::create_directories(stage + "/.fseventsd", ec);
    { std::ofstream(stage + "/.metadata_never_index"); }
    { std::ofstream(stage + "/.fseventsd/no_log"); }
    VolumeWriteOptions opts;
    opts.workDir = work;
    opts.hidden = {".metadata_never_index", ".fseventsd", ".fseventsd/no_log"};
    if (!CopyTreeToVolume(target, stage, opts, &error))
      Log("> FormatThread: Error create " + letter + "/.metadata_never_index: " + error);
    fs::remove_all(stage, ec);
  }

  int End() {
    FinishUnlockClose("", "hLogicalVolume", hLogicalVolume_);
    FinishUnlockClose("", "hPhysicalDrive", hPhysicalDrive_);
    const bool ok = FormatStatus == 0 && !failed_;
    if (ok) {
      Log("> All done");
      ui_.ShowStatus("All done", 2000);
    } else {
      Log("> FormatThread: the run did not complete (FormatStatus=" + std::to_string(FormatStatus.load()) + ")");
    }
    ui_.SetControlText(Control::Button_Format, "Format Disk");
    ui_.SetControlEnabled(Control::Tree_DestinationDisk, true);
    UpdateAllDrives();
    if (gadgetIndexSave_ != 0) {
      Log("> Set GadgetIndexSave = " + std::to_string(gadgetIndexSave_));
      ui_.SelectTreeLine(gadgetIndexSave_);
    }
    // The busy flag goes last: once it is 0 the next operation may start and
    // its cancel must not be cleared here.
    FormatStatus = 0;
    CancelMainThread = 0;
    format_op_in_progress = 0;
    return ok ? 1 : 0;
  }
};

}  // namespace

int FormatThread(int InstallFull) {
  FormatJob job(InstallFull);
  return job.Run();
}

}  // namespace fk
