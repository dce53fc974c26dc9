// The commands of flashkeel-cli over the core. Each returns the process exit
// code: 0 success, 1 failure or cancel (2, bad usage, is decided by the parser).
#pragma once

#include "cli/Args.h"
#include "cli/CliUi.h"

namespace fk::cli {

int RunList(const Args& a, CliUi& ui);
int RunFormat(const Args& a, CliUi& ui);
int RunEject(const Args& a, CliUi& ui);
int RunBackup(const Args& a, CliUi& ui);
int RunRestore(const Args& a, CliUi& ui);
int RunRecoveryUpdate(const Args& a, CliUi& ui);
int RunRecoveryList(const Args& a, CliUi& ui);

// The saved Recovery HD list: number, build, date, size, name and URL.
void PrintRecoveryList(std::FILE* out);

// Prints the Destination Disk tree with the disk numbers --disk takes.
void PrintDiskList(CliUi& ui, std::FILE* out, bool all);

// Adds --image (creating it sparse with --size when missing) and lists the
// disks. Returns the index in AllDrives of the disk named by --disk or
// --image, -1 after printing why there is none.
int PrepareTarget(const Args& a, CliUi& ui, std::FILE* err);

}  // namespace fk::cli
