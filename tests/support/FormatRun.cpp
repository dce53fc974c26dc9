#include "tests/support/FormatRun.h"

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "disk/DiskList.h"
#include "format/CloverDataSet.h"
#include "format/FormatThread.h"
#include "format/Packs.h"

namespace fk::test {

void HookedUi::DrawProgress(const std::string& text, int percent) {
  ScriptedUi::DrawProgress(text, percent);
  if (onStatus) onStatus(text);
}

MsgAnswer HookedUi::MessageBox(const std::string& title, const std::string& text, MsgButtons buttons,
                               MsgIcon icon) {
  if (onBox) onBox(title);
  return ScriptedUi::MessageBox(title, text, buttons, icon);
}

FormatRunResult RunFormat(const FormatRunOptions& opts, const std::shared_ptr<ScriptedUi>& ui) {
  FormatRunResult r;
  ResetSharedFlags();
  ResetSettings();
  Settings& c = Cfg();
  c.Boot_records = opts.bootRecords;
  c.FileSystem = opts.fileSystem;
  c.StartLBASector = opts.align;
  c.MultiPartitions = opts.bootPartitionMb > 0 ? 1 : 0;
  if (opts.bootPartitionMb > 0) c.BootPartitionSize = opts.bootPartitionMb;
  c.VolumeLabel = opts.label;
  c.EnableFixedDisks = 1;
  c.InstallDataSet = opts.dataSet.empty() ? "Not_Install" : "Local";
  CloverLocalSelectedName = opts.dataSet;
  CloverLocalSelectedRev = opts.dataSet.empty() ? "" : std::to_string(TestDataZip(opts.dataSet));
  if (!opts.dlRev.empty()) {
    c.InstallDataSet = "DL";
    c.CloverDLRev = opts.dlRev;
  }
  SetEnableFixedDisksSource([] { return true; });
  if (!opts.workDir.empty()) SetPackWorkDir(opts.workDir);

  SetUi(ui);
  SetPauseFunction([](int) {});
  SetLogMirror(true);
  TakeLogMirror();

  ClearImageDisks();
  const bool image = opts.disk.rfind("/dev/", 0) != 0;
  if (!image || AddImageDisk(opts.disk)) {
    UpdateAllDrives();
    for (size_t i = 0; i < AllDrives.size(); ++i) {
      if (AllDrives[i].DevicePath == opts.disk) {
        r.selected = SelectDisk(static_cast<int>(i), 0) != 0;
        break;
      }
    }
  }
  if (r.selected) {
    Runner& runner = GetRunner();
    runner.SetSettingsApplier([](std::function<void(Settings&)> change) { change(SavedSettings()); });
    auto work = [](OpContext& op) { return FormatOperation(op, InstallFullForSettings()); };
    if (!opts.whileRunning) {
      r.op = runner.RunHere(OpKind::Format, work, Cfg());
    } else if (runner.Start(OpKind::Format, work, Cfg()) == Runner::StartStatus::Started) {
      opts.whileRunning();
      runner.JoinAll();
      r.op = runner.LastResult(OpKind::Format);
    }
    runner.SetSettingsApplier(nullptr);
    r.result = r.op.ok() ? 1 : 0;
  }

  for (const std::string& line : TakeLogMirror()) r.log += line + "\n";
  SetLogMirror(false);
  SetPauseFunction(nullptr);
  SetUi(nullptr);
  ClearImageDisks();
  SetEnableFixedDisksSource([] { return false; });
  SetPackWorkDir("");
  return r;
}

}  // namespace fk::test
