// The debug log "FKLDebug.log": UTF-8 with BOM, CR LF, one flushed write per line,
// safe to call from any thread. Lines read "hh:mm:ss.mmm" + message, and messages
// begin with "> " by convention.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fk {

inline constexpr const char* kLogFileName = "FKLDebug.log";

// Local time as "hh:mm:ss.mmm".
std::string LogTimeStamp();

// Appends LogTimeStamp() + message + CR LF when the log is open.
void Log(std::string_view message);

// Opens the log (a fresh one, BOM first, unless another copy of the program
// still writes it or it is not a log of ours: then appends), writes "> Log Date: dd.mm.yyyy".
// Returns false (logging stays off) when the file cannot be created.
bool OpenLog(const std::string& path = kLogFileName);
void CloseLog();
bool LogIsOpen();

// Descriptor of the open log, -1 when closed. Only for the program-error
// handler, which must write without taking the log's lock.
int LogFileDescriptor();

// Writes the header lines (separator, application, system, CPU, RAM).
void WriteLogHeader();

// Test aid: while enabled, every message passed to Log() is also kept in memory
// (without time stamp), whether or not the file is open.
void SetLogMirror(bool enabled);
std::vector<std::string> TakeLogMirror();
bool LogMirrorContains(std::string_view part);

}  // namespace fk
