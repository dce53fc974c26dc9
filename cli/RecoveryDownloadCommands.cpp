// recovery download, extract-dmg, and the Recovery HD step of format.
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "cli/Commands.h"
#include "disk/DiskList.h"
#include "disk/DiskOperations.h"
#include "disk/Restore.h"
#include "disk/Transfer.h"
#include "format/DiskLayout.h"
#include "net/HfsImage.h"
#include "net/RecoveryHD.h"

namespace fk::cli {

namespace fs = std::filesystem;

namespace {

std::string Absolute(const std::string& p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  return ec ? p : a.lexically_normal().string();
}

int Report(const OpResult& r, CliUi& ui, const char* what) {
  ui.FinishLine();
  switch (r.outcome) {
    case OpOutcome::Done: std::printf("%s: %s\n", what, r.message.c_str()); return 0;
    case OpOutcome::Cancelled: std::printf("%s cancelled\n", what); return 1;
    case OpOutcome::Failed: break;
  }
  // One line with the reason, also for a refusal that showed nothing.
  std::string why = r.message;
  for (size_t at; (at = why.find("\r\n")) != std::string::npos;) why.replace(at, 2, " ");
  std::printf("%s failed%s%s\n", what, why.empty() ? "" : ": ", why.c_str());
  return 1;
}

}  // namespace

int RunRecovery(const Args& a, CliUi& ui) {
  std::vector<RecoveryHDSource> list = Cfg().RecoveryHDSourceList;
  const size_t n = static_cast<size_t>(std::stoul(a.words[0]));
  if (list.empty()) {
    std::fprintf(stderr, "flashkeel-cli: the Recovery HD list is empty; 'flashkeel-cli recovery update' fills it\n");
    return 1;
  }
  if (n < 1 || n > list.size()) {
    std::fprintf(stderr, "flashkeel-cli: no Recovery HD record %zu; the list has 1 to %zu:\n", n, list.size());
    for (size_t i = 0; i < list.size(); ++i) std::fprintf(stderr, "  [%zu] %s\n", i + 1, list[i].Name.c_str());
    return 1;
  }
  Settings snapshot = Cfg();
  if (!a.toDir.empty()) snapshot.FKLImageLocalRepo = Absolute(a.toDir);
  RecoveryHDSource record = list[n - 1];
  Log("> flashkeel-cli: recovery download " + std::to_string(n) + ": " + record.Name);
  const OpResult r = GetRunner().RunHere(
      OpKind::RecoveryDownload, [&record](OpContext&) { return DLAndExtractHFSImageFromRecoveryHD(record); },
      std::move(snapshot));
  return Report(r, ui, "Recovery HD image");
}

int RunExtractDmg(const Args& a, CliUi& ui) {
  const std::string dmg = Absolute(a.words[0]);
  const std::string dir = Absolute(a.toDir.empty() ? "." : a.toDir);
  const OpResult r = GetRunner().RunHere(
      OpKind::DmgExtract, [&](OpContext&) { return ExtractHFSFromDMGFile(dmg, dir); }, Cfg());
  return Report(r, ui, "HFS volume");
}

bool CheckRecoveryHdImage(const Args& a, int disk, std::FILE* err) {
  const std::string file = Absolute(a.recoveryHd);
  const HfsImageCheck c = CheckHfsImage(file);
  if (!c.ok) {
    std::fprintf(err, "flashkeel-cli: --recovery-hd %s: %s\n", file.c_str(),
                 c.problem == "not a file" ? "no such file" : ("not an HFS+ volume image: " + c.problem).c_str());
    return false;
  }
  if (disk < 0) return true;
  const DiskRecord& d = AllDrives[disk];
  DiskGeometryInput g;
  g.DiskSize = d.Geometry.DiskSize;
  g.BytesPerSector = static_cast<int>(d.Geometry.BytesPerSector);
  g.SectorsPerTrack = static_cast<int>(d.Geometry.SectorsPerTrack);
  g.ChsSectors = d.ChsSectors;
  PartitionOptions o;
  o.StartLBASector = Cfg().StartLBASector;
  o.MultiPartitions = Cfg().MultiPartitions;
  o.BootPartitionSize = Cfg().BootPartitionSize;
  PT pt;
  if (!ComputePartitionTable(g, o, pt)) return true;  // the format run refuses the layout itself
  const int64_t room = int64_t{pt.PartitionTable[1].NumberOfSects} * g.BytesPerSector;
  if (c.size > room) {
    std::fprintf(err, "flashkeel-cli: --recovery-hd %s (%lld bytes) does not fit the second partition (%lld bytes)\n",
                 file.c_str(), static_cast<long long>(c.size), static_cast<long long>(room));
    return false;
  }
  Log("> flashkeel-cli: Recovery HD image " + file + " (" + std::to_string(c.size) + " bytes) fits partition 2 (" +
      std::to_string(room) + " bytes)");
  return true;
}

int WriteRecoveryHd(const Args& a, CliUi& ui, const std::string& diskPath) {
  UpdateAllDrives();
  int disk = -1;
  for (size_t i = 0; i < AllDrives.size(); ++i)
    if (AllDrives[i].DevicePath == diskPath) disk = static_cast<int>(i);
  if (disk < 0 || !SelectDisk(disk, 2)) {
    std::fprintf(stderr, "flashkeel-cli: cannot select partition 2 of %s for the Recovery HD\n", diskPath.c_str());
    return 1;
  }
  ui.QueueDialogAnswer(Absolute(a.recoveryHd));
  Log("> #Button_Restore pressed (Recovery HD) ================================");
  SetTransferOptions(TransferOptions{});
  SetLastTransferReport(TransferReport{});
  GetRunner().RunHere(OpKind::Restore, RestoreOperation, SavedSettings());
  const TransferReport rep = LastTransferReport();
  ui.FinishLine();
  if (rep.end == TransferEnd::Completed) {
    std::printf("Recovery HD written to partition 2: %lld bytes\n", static_cast<long long>(rep.totalWritten));
    return 0;
  }
  std::printf("The Recovery HD was not written to partition 2 (see the messages above)\n");
  return 1;
}

}  // namespace fk::cli
