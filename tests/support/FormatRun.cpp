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

FormatRunResult RunFormat(const FormatRunSpec& spec, const std::shared_ptr<ScriptedUi>& ui) {
  FormatRunResult r;
  ResetSharedFlags();
  ResetSettings();
  Settings& c = Cfg();
  c.Boot_records = spec.bootRecords;
  c.FileSystem = spec.fileSystem;
  c.StartLBASector = spec.align;
  c.MultiPartitions = spec.bootPartitionMb > 0 ? 1 : 0;
  if (spec.bootPartitionMb > 0) c.BootPartitionSize = spec.bootPartitionMb;
  c.VolumeLabel = spec.label;
  c.EnableFixedDisks = 1;
  c.InstallDataSet = spec.dataSet.empty() ? "Not_Install" : "Local";
  CloverLocalSelectedName = spec.dataSet;
  CloverLocalSelectedRev = spec.dataSet.empty() ? "" : std::to_string(TestDataZip(spec.dataSet));
  SetEnableFixedDisksSource([] { return true; });
  if (!spec.workDir.empty()) SetPackWorkDir(spec.workDir);

  SetUi(ui);
  SetPauseFunction([](int) {});
  SetLogMirror(true);
  TakeLogMirror();

  ClearImageDisks();
  const bool image = spec.disk.rfind("/dev/", 0) != 0;
  if (!image || AddImageDisk(spec.disk)) {
    UpdateAllDrives();
    for (size_t i = 0; i < AllDrives.size(); ++i) {
      if (AllDrives[i].DevicePath == spec.disk) {
        r.selected = SelectDisk(static_cast<int>(i), 0) != 0;
        break;
      }
    }
  }
  if (r.selected) r.result = FormatThread(InstallFullForSettings());

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
