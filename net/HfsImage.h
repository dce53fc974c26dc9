// What the Recovery HD download and the DMG extraction share: the check of an
// extracted HFS+ volume, its top folders for the log, private work
// directories with room for the job, the move of a result to a name that says
// what it is, and the 7-Zip console.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace fk {

struct HfsImageCheck {
  bool ok = false;
  std::string kind;     // "HFS+", "HFSX" or "HFS" (classic, only when allowed)
  std::string problem;  // why it is not a usable volume
  int64_t size = 0;
};
// An HFS+ volume image: "H+" or "HX" at byte 1024 and a whole number of
// 512-byte sectors. allowClassicHfs also takes "BD" (HFS).
HfsImageCheck CheckHfsImage(const std::string& path, bool allowClassicHfs = false);

// The folders at the top of an HFS+ volume (as 7-Zip lists it, without the
// volume's own name); empty when it cannot be listed.
std::vector<std::string> HfsTopFolders(const std::string& volume);

// A file name made of name: '/', '\\' and control characters become '_',
// leading dots are dropped; fallback when nothing is left.
std::string SafeFileName(const std::string& name, const std::string& fallback);

// Moves file to dir + base + ext, or to dir + base + " (2)" + ext and so on,
// never over an existing file. Returns the new path; "" on failure (logged).
std::string MoveToNewName(const std::string& file, const std::string& dir, const std::string& base,
                          const std::string& ext);

// The HFS volume images (*.hfs) a tool left in outDir, checked (CheckHfsImage;
// top folders logged) and moved to targetDir as base + ".hfs" (several: base +
// " - " + their own name). none: there was no *.hfs at all; error: the text
// for the user when one is no usable volume or cannot be moved.
struct HfsResults {
  std::vector<std::string> moved;
  bool none = false;
  std::string error;
};
HfsResults TakeHfsResults(const std::string& outDir, const std::string& targetDir, const std::string& base,
                          bool allowClassicHfs, const std::string& logPrefix);

// Free bytes of the file system that holds path (or its nearest existing
// parent); -1 when unknown.
int64_t FreeBytesAt(const std::string& path);

// The running operation was asked to stop (CancelMainThread).
bool JobCancelling();

// The 7-Zip console on PATH ("" when missing; FK_7ZZ names another program).
std::string SevenZipProgram();
// The text for a missing 7-Zip console.
inline constexpr const char* kNo7ZipText = "The 7-Zip console (7zz) is not installed: install the Debian package 7zip.";

// Runs a tool for a job: its output goes to the log, a cancel of the job stops it.
ProcessResult RunJobTool(ProcessRequest request, const std::string& logPrefix);

}  // namespace fk
