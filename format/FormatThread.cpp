// The order of a format run's steps (see FormatJob.h) and its end section.
#include "format/FormatThread.h"

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "disk/DiskList.h"
#include "format/CloverDataSet.h"
#include "format/FormatJob.h"

namespace fk {

int InstallFullForSettings() {
  const Settings& c = Cfg();
  if (c.Boot_records == "Clover" || c.Boot_records == "Not_Format") return c.InstallDataSet == "Not_Install" ? 0 : 1;
  if (c.Boot_records == "FreeDos") return 1;
  return 0;
}

bool FormatJob::Stopped() const { return CurrentOpStopped() || failed || declined; }

bool FormatJob::Fail() {
  failed = true;
  return false;
}

bool FormatJob::FailStatus(const std::string& logLine, const std::string& status, int ms) {
  Log(logLine);
  ui.ShowStatus(status, ms);
  error = status;
  failed = true;
  return false;
}

PartitionOptions FormatJob::Options() const {
  PartitionOptions opt;
  opt.StartLBASector = cfg.StartLBASector;
  opt.MultiPartitions = cfg.MultiPartitions;
  opt.BootPartitionSize = cfg.BootPartitionSize;
  return opt;
}

bool FormatJob::HoldStorage() {
  if (storage.held()) return true;
  std::string why;
  storage = StorageLock::Acquire(CurrentDisk.DevicePath, &why);
  if (storage.held()) return true;
  return FailStatus("> FormatThread: Error: " + why, "Error : The disk is in use by another program", 5000);
}

int EndFormatJob(FormatJob& job) {
  FinishUnlockClose("", "hLogicalVolume", job.logicalVolume);
  FinishUnlockClose("", "hPhysicalDrive", job.physicalDrive);
  job.storage.Release();
  const bool ok = !job.Stopped();
  if (ok) {
    Log("> All done");
    job.ui.ShowStatus("All done", 2000);
  } else {
    Log("> FormatThread: the run did not complete (FormatStatus=" + std::to_string(FormatStatus.load()) + ")");
  }
  UpdateAllDrives();
  if (job.gadgetIndexSave != 0) {
    Log("> Set GadgetIndexSave = " + std::to_string(job.gadgetIndexSave));
    job.ui.SelectTreeLine(job.gadgetIndexSave);
  }
  return ok ? 1 : 0;
}

OpResult FormatOperation(OpContext& op, int installFull) {
  FormatJob job(installFull, GetUi(), Cfg());
  // Checks that must pass before anything is written go into CheckBeforeWrite.
  if (ClaimDisk(job) && CheckBeforeWrite(job) && PrepareDownloadedDataSet(job) && Confirm(job)) {
    const bool written = job.mode == "Not_Format"
                             ? HoldDisk(job)
                             : WriteLayout(job) && FormatFirstVolume(job) && WriteVolumeBootRecords(job) &&
                                   !job.Stopped();
    if (written) InstallDataSet(job);
  }
  if (EndFormatJob(job)) return OpResult::Done();
  if (op.Cancelled() || job.declined) return OpResult::Cancelled();
  return OpResult::Failed(job.error.empty() ? "The format did not complete" : job.error);
}

OpResult LocalArchiveSearchOperation(OpContext& op) {
  FindCloverLocalDistr();
  return op.Cancelled() ? OpResult::Cancelled() : OpResult::Done();
}

}  // namespace fk
