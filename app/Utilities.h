// Small shared operations: size and time texts, temporary work directories and
// file names, directory creation, the performance counter.
#pragma once

#include <cstdint>
#include <string>

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
// Creates a fresh "FKLTemp####" work directory and stores it in FklTempWorkDir().
int CreateTempWorkDir();
// The run's work directory ("" before CreateTempWorkDir), ending in '/'.
std::string FklTempWorkDir();
// Releases and deletes the work directory (exit sequence).
void DeleteTempWorkDir();
// A "FKLTemp####" directory of this process in parent (made on the first call
// for that parent, with the same leftover clean-up and lock as the work
// directory, and deleted with it), ending in '/'; "" when it cannot be made.
std::string OwnedTempDirIn(const std::string& parent);
// A "TEMP####" path in dir that does not exist yet; "" when dir is "".
std::string MakeTempFileName(const std::string& dir);
// Creates every missing part of path; 1 when it is a directory afterwards.
int CreateDirectoryPath(const std::string& path);
// Creates path and its parents; reports nothing.
void CreateDirectoryTree(const std::string& path);

}  // namespace fk
