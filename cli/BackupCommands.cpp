#include <sys/stat.h>

#include <cstdio>

#include "app/AppState.h"
#include "app/Log.h"
#include "cli/Commands.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "disk/DiskOperations.h"
#include "disk/DiskList.h"
#include "disk/Transfer.h"

namespace fk::cli {

namespace {

// Selects partition --partition of the target disk; false after saying why not.
bool SelectPartition(const Args& a, CliUi& ui) {
  int disk = PrepareTarget(a, ui, stderr);
  if (disk < 0) return false;
  const DiskRecord& d = AllDrives[disk];
  if (d.PartitionCount == 0 || d.Partition[a.partition - 1].PartitionLength == 0) {
    std::fprintf(stderr, "flashkeel-cli: %s has no partition %d\n", d.DevicePath.c_str(), a.partition);
    return false;
  }
  if (!SelectDisk(disk, a.partition)) {
    std::fprintf(stderr, "flashkeel-cli: cannot select partition %d of %s\n", a.partition, d.DevicePath.c_str());
    return false;
  }
  return true;
}

int ExitCodeOf(const TransferReport& r, CliUi& ui, const char* what) {
  ui.FinishLine();
  switch (r.end) {
    case TransferEnd::Completed:
      std::printf("%s done: %lld bytes%s\n", what,
                  static_cast<long long>(r.totalWritten ? r.totalWritten : r.totalRead),
                  r.verified ? ", verified" : "");
      return 0;
    case TransferEnd::VerifyFailed:
      std::printf("%s written, but the read-back differs at byte %lld\n", what,
                  static_cast<long long>(r.firstDifference));
      return 1;
    case TransferEnd::Cancelled:
      std::printf("%s cancelled\n", what);
      return 1;
    default:
      std::printf("%s did not complete (see the messages above)\n", what);
      return 1;
  }
}

}  // namespace

int RunBackup(const Args& a, CliUi& ui) {
  struct stat st {};
  if (::stat(a.file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "flashkeel-cli: %s is a directory; --to takes the image file to write\n", a.file.c_str());
    return 1;
  }
  if (!SelectPartition(a, ui)) return 1;
  SetTransferOptions(TransferOptions{});
  SetLastTransferReport(TransferReport{});
  GetRunner().RunHere(OpKind::Backup, BackupOperation, SavedSettings());
  return ExitCodeOf(LastTransferReport(), ui, "Backup");
}

int RunRestore(const Args& a, CliUi& ui) {
  // A missing file gets the restore's own message; a directory or an empty
  // file would end it without one.
  struct stat st {};
  if (::stat(a.file.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size == 0)) {
    std::fprintf(stderr, "flashkeel-cli: nothing to restore: %s is %s\n", a.file.c_str(),
                 S_ISDIR(st.st_mode) ? "a directory" : S_ISREG(st.st_mode) ? "empty" : "not a regular file");
    return 1;
  }
  if (!SelectPartition(a, ui)) return 1;
  TransferOptions o;
  o.verify = a.verify;
  SetTransferOptions(o);
  SetLastTransferReport(TransferReport{});
  GetRunner().RunHere(OpKind::Restore, RestoreOperation, SavedSettings());
  return ExitCodeOf(LastTransferReport(), ui, "Restore");
}

}  // namespace fk::cli
