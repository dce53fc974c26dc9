// Small shared operations: size and time texts, temporary work directories and
// file names, directory creation, the performance counter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fk {

// "512 B", "12.5 KB", "3.20 GB" (GB and TB show two more decimals than asked).
std::string FormatSize(int64_t bytes, int decimals);
// "1 h 02 m 05 s " (each part followed by a blank); "" for 0.
std::string FormatElapsed(int64_t seconds);

// a * b / c exactly (128-bit intermediate), truncated; -1 when c is 0.
int64_t MulDiv64(int64_t a, int64_t b, int64_t c);
// High-resolution counter and its frequency (ticks per second).
int64_t GetPerfCounter();
int64_t GetPerfFrequency();
// Milliseconds of a monotonic clock (the "tick count").
int64_t TickCountMs();

// The user's temporary directory ($TMPDIR, else /tmp), ending in '/'.
std::string GetTemporaryDirectory();
// A work directory "FKLTemp####" (with its lock file beside it, see
// TempWorkDir.cpp): made by the constructor, removed with everything in it by
// the destructor. An operation holds its own through OpContext::Work.
class WorkDir {
 public:
  // bytesNeeded > 0: when the temporary directory has less free space, the
  // directory goes to fallbackParent ("" = the program's folder) instead.
  explicit WorkDir(int64_t bytesNeeded = 0, const std::string& fallbackParent = "");
  // Made in the folder given (created when missing) rather than the temporary
  // directory: a result moved from there needs no room anywhere else. Leftovers
  // of dead runs are cleared from the temporary directory only, never from a
  // folder of the user's.
  struct In {
    std::string parent;
    // A folder of the program's own (the memory's staging place) is cleared
    // of dead runs' leftovers like the temporary directory.
    bool clearLeftovers = false;
  };
  explicit WorkDir(In where);
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }    // ends in '/'
  const std::string& error() const { return error_; }  // why it could not be made
  void Remove();                                        // now, rather than at the end of its scope

 private:
  void Make(const std::vector<std::string>& parents, bool clearLeftovers);
  std::string path_, lockPath_, error_;
  int lockFd_ = -1;
};

// Inside an operation: makes the operation's work directory (once; it is
// removed when the operation ends). Outside one: a fresh process-wide
// "FKLTemp####" directory, stored in FklTempWorkDir(). 1 on success.
int CreateTempWorkDir();
// The current operation's work directory, else the process's ("" before
// CreateTempWorkDir), ending in '/'.
std::string FklTempWorkDir();
// Deletes the process-wide work directories (exit sequence); operations'
// directories go with their operations.
void DeleteTempWorkDir();
// The reason of a failed step, noted by the step for the status that reports
// the failure of a larger task on the same thread ("Clover Data set files Not
// Installed"). A later note replaces an earlier one.
void NoteFailureReason(const std::string& reason);
// text + ": " + the noted reason, or text alone when none was noted; clears the note.
std::string WithFailureReason(const std::string& text);
// The noted reason ("" when none); clears the note.
std::string TakeFailureReason();
// The system's text of an errno value: "No space left on device".
std::string ErrnoText(int err);

// A "TEMP####" path in dir that does not exist yet; "" when dir is "". In a
// folder of the program's own (clearOld), files left there under "TEMP..."
// names are deleted first; in a user's folder nothing is touched.
std::string MakeTempFileName(const std::string& dir, bool clearOld = true);
// Creates every missing part of path; 1 when it is a directory afterwards.
int CreateDirectoryPath(const std::string& path);
// Creates path and its parents; reports nothing.
void CreateDirectoryTree(const std::string& path);

}  // namespace fk
