#include <filesystem>
#include <sstream>

#include "app/Log.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/HfsImage.h"
#include "net/RecoveryHD.h"

namespace fk {

namespace fs = std::filesystem;

namespace {

constexpr const char* kP = "ExtractHFSFromDMG: ";

OpResult Fail(const std::string& title, const std::string& text, MsgIcon icon = MsgIcon::Error) {
  Log("> " + std::string(kP) + text);
  GetUi().MessageBox(title, text, MsgButtons::Ok, icon);
  return OpResult::Failed(text);
}

// The partitions 7-Zip sees in a DMG, for the message when none is HFS.
std::string DmgPartitions(const std::string& sevenZip, const std::string& dmg) {
  ProcessRequest rq;
  rq.argv = {sevenZip, "l", "-tdmg", "-ba", "-slt", "--", dmg};
  rq.mergeStderr = false;
  rq.timeoutMs = 60000;
  const ProcessResult r = RunProcess(rq);
  std::string names;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Path = ", 0) == 0 && line.size() > 7) names += (names.empty() ? "" : ", ") + line.substr(7);
  return names;
}

OpResult Extract(const std::string& dmg, const std::string& targetDir) {
  const std::string name = fs::path(dmg).filename().string();
  const std::string sevenZip = SevenZipProgram();
  if (sevenZip.empty()) return Fail("Error", kNo7ZipText);

  // The work directory lies in the target directory: the volume is moved
  // from there by a rename, and needs no room anywhere else.
  WorkDir work(WorkDir::In{targetDir});
  if (!work.ok()) return Fail("Error", "Can't create TEMP folder!" + work.error());
  const std::string out = work.path() + "out";

  ProcessRequest rq;
  rq.argv = {sevenZip, "e", "-tdmg", "-y", "-bd", "-o" + out, "--", dmg, "*.hfs"};
  Log("> " + std::string(kP) + "RunProgram(" + sevenZip + " e -tdmg -y -bd -o\"" + out + "\" -- \"" + dmg +
      "\" *.hfs)");
  GetUi().ShowStatus("Extracting HFS volume from " + name + " ...", 0);
  const ProcessResult pr = RunJobTool(rq, "7zz");
  GetUi().DrawProgress("", 0);
  if (!pr.started) {
    Log("> " + std::string(kP) + "Error Run Extract HFS volume.");
    GetUi().MessageBox("Error ! ", "Error Run Extract HFS volume.", MsgButtons::Ok, MsgIcon::Error);
    return OpResult::Failed("Error Run Extract HFS volume.");
  }
  if (pr.cancelled) {
    Log("> " + std::string(kP) + "cancelled");
    GetUi().ShowStatus("Extraction cancelled", 1000);
    return OpResult::Cancelled("Extraction cancelled");
  }
  Log("> " + std::string(kP) + "Exitcode=" + std::to_string(pr.exitCode));
  if (pr.exitCode != 0) {
    if (pr.output.find("Can't open as archive") != std::string::npos || pr.output.find("Cannot open") != std::string::npos)
      return Fail("Error", "Can't open \"" + name + "\"\r\nas DMG archive.");
    return Fail("Error", "Error extracting the HFS volume from \"" + name + "\" (7-Zip exit code " +
                             std::to_string(pr.exitCode) + ").");
  }
  // 7-Zip ends with success when nothing matched: only a volume that this run
  // extracted counts.
  const HfsResults hfs = TakeHfsResults(out, targetDir, fs::path(dmg).stem().string(), true, "ExtractHFSFromDMG");
  if (hfs.none) {
    const std::string parts = DmgPartitions(sevenZip, dmg);
    return Fail("Error", "No HFS volume in \"" + name + "\"." +
                             (parts.empty() ? std::string() : "\r\nIts partitions: " + parts));
  }
  if (!hfs.error.empty()) return Fail("Error", hfs.error);
  std::string where;
  for (const std::string& p : hfs.moved) where += "\r\n" + p;
  GetUi().MessageBox("Info", "HFS volume Extracted." + where, MsgButtons::Ok, MsgIcon::None);
  return OpResult::Done(hfs.moved.front());
}

}  // namespace

OpResult ExtractHFSFromDMGFile(const std::string& dmg, const std::string& targetDirIn) {
  std::string targetDir = targetDirIn;
  if (!targetDir.empty() && targetDir.back() != '/') targetDir += '/';
  Log("> " + std::string(kP) + "DMG=" + dmg + " Target=" + targetDir);
  std::error_code ec;
  OpResult r;
  if (!fs::is_regular_file(dmg, ec)) {
    r = Fail("Error", "Can't open \"" + fs::path(dmg).filename().string() + "\"\r\nas DMG archive.");
  } else if (!fs::is_directory(targetDir, ec)) {
    r = Fail("Error", "The folder \"" + targetDirIn + "\" does not exist.");
  } else {
    r = Extract(dmg, targetDir);
  }
  Log("> " + std::string(kP) + "Result=" + std::to_string(r.ok() ? 1 : 0));
  return r;
}

OpResult ExtractHFSFromDMG() {
  Ui& ui = GetUi();
  const std::string dmg =
      ui.OpenFileDialog("Select DMG-file for extraction", "", "dmg (*.dmg)|*.dmg|All files (*.*)|*.*", 0);
  if (dmg.empty()) {
    Log("> " + std::string(kP) + "Result=0");
    return OpResult::Cancelled();
  }
  const std::string dir = ui.PathDialog("Select path to save image file:", fs::path(dmg).parent_path().string() + "/");
  if (dir.empty()) {
    Log("> " + std::string(kP) + "Result=0");
    return OpResult::Cancelled();
  }
  return ExtractHFSFromDMGFile(dmg, dir);
}

}  // namespace fk
