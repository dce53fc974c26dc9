// Safe extraction of a ZIP archive into a directory, entry by entry.
// Entry names are checked before anything is created: absolute names, ".."
// parts and names that would leave the destination are refused; only files and
// directories are created (never links or device nodes), and every component
// is opened without following symbolic links, so nothing is written outside
// the destination. A member whose data does not match its recorded size or
// CRC fails the extraction.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fk {

enum class ZipResult {
  Ok,
  CannotOpen,      // not a readable ZIP
  CannotList,      // the entry list cannot be read
  Cancelled,       // the cancel check said stop before an entry
  HostileName,     // absolute, "..", empty or otherwise unsafe name
  UnsupportedType, // symbolic link, device, FIFO, socket
  CorruptMember,   // data does not match the recorded size or CRC
  WriteFailed,     // the destination refused a directory or file
  TooLarge,        // the data would pass the byte limit of the destination
};

struct ZipProgress {
  int index = 0;  // 1-based number of the entry just done
  int total = 0;
  std::string name;
};

struct ZipExtractOptions {
  // Asked before each entry; true stops the extraction (Cancelled).
  std::function<bool()> cancel;
  // Called after each entry.
  std::function<void(const ZipProgress&)> progress;
  // Most bytes of file data written in all (0: no limit). An archive that
  // unpacks to more stops there (TooLarge) instead of filling the disk that
  // holds the destination.
  int64_t maxBytes = 0;
};

struct ZipOutcome {
  ZipResult result = ZipResult::Ok;
  int entries = 0;      // entries in the archive (0 when unknown)
  int extracted = 0;    // entries done
  std::string entry;    // the entry the failure is about
  int64_t recordedSize = -1;  // its size as recorded in the ZIP (-1 unknown)
  std::string detail;   // reader or system error text
};

// Counts the entries of a ZIP file; -1 when it cannot be opened or listed.
// *dataBytes (when given) gets the sum of the recorded file sizes.
int CountZipEntries(const std::string& zipPath, std::string* detail = nullptr, int64_t* dataBytes = nullptr);

// Extracts zipPath into destDir (which must exist).
ZipOutcome ExtractZipSafely(const std::string& zipPath, const std::string& destDir, const ZipExtractOptions& opt);

// Checks an entry name and returns its "/"-separated components; false when
// the name is absolute, empty, has a ".." component or a drive prefix.
// Backslashes count as separators.
bool SplitSafeEntryName(const std::string& name, std::string* cleaned);

const char* ZipResultText(ZipResult r);

}  // namespace fk
