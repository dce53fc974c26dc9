// One format run of the program's main operation on a disk image or loop
// device, in this process, with a recording UI whose answers and status texts
// can trigger actions (a cancel, a swapped disk).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/Runner.h"
#include "tests/support/ScriptedUi.h"

namespace fk::test {

// A ScriptedUi that calls onStatus for every status text and onBox for every
// message box (before answering it).
class HookedUi : public ScriptedUi {
 public:
  std::function<void(const std::string& text)> onStatus;
  std::function<void(const std::string& title)> onBox;
  void DrawProgress(const std::string& text, int percent) override;
  MsgAnswer MessageBox(const std::string& title, const std::string& text, MsgButtons buttons,
                       MsgIcon icon) override;
};

struct FormatRunOptions {
  std::string disk;  // image file or loop device
  std::string bootRecords = "Clover";
  std::string fileSystem = "FAT32-LBA";
  std::string align = "2048";
  int bootPartitionMb = 0;  // 0: one partition
  std::string label = "FKTEST";
  std::string dataSet;      // "" = Not_Install, else a local archive
  std::string dlRev;        // not "": the "DL" data set of this revision (dataSet is ignored)
  std::string workDir;      // temporary files of the run
  // When set, the run goes on a worker of the process's runner (as the GUI
  // runs it) and this runs on the calling thread meanwhile.
  std::function<void()> whileRunning;
};

struct FormatRunResult {
  bool selected = false;  // the disk was found and selected
  int result = 0;         // 1 when the operation was done
  OpResult op;            // the operation's result
  std::string log;        // the log lines of the run
};

// Resets the shared state and settings, lists the disk (fixed disks on), selects
// it and runs the format operation with ui and a copy of the settings; a
// settings change the run hands back is made to the saved settings. Pauses
// are skipped.
FormatRunResult RunFormat(const FormatRunOptions& opts, const std::shared_ptr<ScriptedUi>& ui);

}  // namespace fk::test
