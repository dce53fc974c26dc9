// The data set of a format run and the marker files that keep macOS from
// indexing the boot partition.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/Log.h"
#include "app/Utilities.h"
#include "disk/DiskList.h"
#include "format/CloverDataSet.h"
#include "format/FormatJob.h"
#include "format/Packs.h"
#include "format/VolumeFiles.h"
#include "net/CloverRelease.h"

namespace fk {

namespace fs = std::filesystem;

namespace {

std::string ExtensionOf(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
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
  if (work.empty()) {
    // Staged only inside a directory of this run: a fixed name in the shared
    // temporary directory could be someone else's, and is removed afterwards.
    Log("> FormatThread: Error create " + letter + "/.metadata_never_index: no work directory");
    return;
  }
  const std::string stage = work + "macfiles";
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

// A local archive: a ZIP goes on as it is, Clover's .7z is unpacked first.
int InstallLocalArchive(FormatJob& job, const std::string& letter) {
  Log("> InstallDataSet$=Local");
  const std::string ext = ExtensionOf(CloverLocalSelectedName);
  Log("> FormatThread: File Extension: " + ext);
  const std::string name = fs::path(CloverLocalSelectedName).filename().string();
  if (ext == "zip") {
    if (Validate7zZIPFile(CloverLocalSelectedName))
      return ExtractDataZip(nullptr, 0, letter, 0, CloverLocalSelectedName, 1, 0);
    job.ui.ShowStatus("Not ZIP archive file: " + name, 2000);
  } else if (ext == "7z") {
    Log("> FormatThread: selected: " + ext);
    // Converted before the confirmation (PrepareDownloadedDataSet).
    if (!job.dlZip.empty()) return InstallPreparedCloverDataSet(job.dlZip, false, letter);
    job.ui.ShowStatus("Not 7z archive file: " + name, 2000);
  }
  return 0;
}

int InstallDownload(FormatJob& job, const std::string& letter) {
  Log("> InstallDataSet$=DL");
  // Downloaded and converted before the confirmation (PrepareDownloadedDataSet).
  return InstallPreparedCloverDataSet(job.dlZip, job.dlDownloaded, letter);
}

// False for a data-set choice this build does not know (the run fails and
// leaves the drive to the end section).
bool InstallClover(FormatJob& job, const std::string& letter) {
  int result = 0;
  if (job.cfg.InstallDataSet == "Local") {
    result = InstallLocalArchive(job, letter);
  } else if (job.cfg.InstallDataSet == "DL") {
    result = InstallDownload(job, letter);
  } else {
    Log("> InstallDataSet$=" + job.cfg.InstallDataSet);
    return job.Fail();
  }
  if (result == 0) {
    Log("> FormatThread: Result=#False");
    // The designed line, with the reason the failed step noted.
    job.error = WithFailureReason("Clover Data set files Not Installed");
    job.ui.ShowStatus(job.error, 2000);
    job.Fail();
  } else {
    HiddenMacFiles(letter);
    job.ui.ShowStatus("Clover Data set files Installed", 2000);
  }
  return true;
}

}  // namespace

bool PrepareDownloadedDataSet(FormatJob& job) {
  if (job.installFull != 1 || (job.mode != "Clover" && job.mode != "Not_Format")) return true;
  if (job.cfg.InstallDataSet == "Local" && ExtensionOf(CloverLocalSelectedName) == "7z" &&
      Validate7zZIPFile(CloverLocalSelectedName)) {
    // A release archive is converted before anything is written: a damaged
    // one leaves the disk as it was.
    Log("> InstallDataSet$=Local");
    job.dlZip = PrepareLocalIsoDataSet();
    if (job.dlZip.empty() || job.Stopped()) {
      Log("> FormatThread: Result=#False");
      job.error = WithFailureReason("Clover Data set files Not Installed");
      job.ui.ShowStatus(job.error, 2000);
      return job.Fail();
    }
    return true;
  }
  if (job.cfg.InstallDataSet != "DL") return true;
  Log("> InstallDataSet$=DL");
  Log("> CloverDLRev$=" + job.cfg.CloverDLRev);
  if (std::atoi(job.cfg.CloverDLRev.c_str()) == 0) {
    Log("> CloverLastRev$=" + job.cfg.CloverLastRev);
    Log("> Run CheckCloverLastRevThread()");
    if (CheckCloverLastRevThread(0).code != 1) {
      Log("> Error Check Clover Last Revision");
      job.ui.ShowStatus("Error Check Clover Last Revision", 2000);
      job.error = "Error Check Clover Last Revision";
      return job.Fail();
    }
    Log("> CheckCloverLastRev: #WEB_OK");
    job.cfg.CloverDLRev = job.cfg.CloverLastRev;
  }
  job.dlZip = PrepareCloverDLDataSet(&job.dlDownloaded);
  if (job.dlZip.empty() || job.Stopped()) {
    Log("> FormatThread: Result=#False");
    job.ui.ShowStatus("Clover Data set files Not Installed", 2000);
    job.error = "Clover Data set files Not Installed";
    return job.Fail();
  }
  return true;
}

void InstallDataSet(FormatJob& job) {
  const std::string letter = job.volume.empty() ? VolumeAccessName(CurrentDisk, 0) : job.volume;
  if (job.mode == "FreeDos") {
    if (!ExtractPack(kPackFreeDosDataSet, letter, 1, 1)) {
      Log("> FormatThread: Result=#False");
      // The designed line, with the reason the failed step noted.
      job.error = WithFailureReason("FreeDos Data set files Not Installed");
      job.ui.ShowStatus(job.error, 2000);
      job.Fail();
    } else {
      job.ui.ShowStatus("FreeDos Data set files Installed", 2000);
    }
  } else if (job.installFull == 1 && !InstallClover(job, letter)) {
    return;
  }
  Log("> UnlockClose hPhysicalDrive = " + std::to_string(job.physicalDrive.value()));
  if (job.physicalDrive) {
    UnlockDrive(job.physicalDrive);
    job.physicalDrive.Close();
  }
}

}  // namespace fk
