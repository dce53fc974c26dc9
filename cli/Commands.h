// The commands of flashkeel-cli over the core. Each returns the process exit
// code: 0 success, 1 failure or cancel (2, bad usage, is decided by the parser).
#pragma once

#include <cstdio>

#include "cli/Args.h"
#include "cli/CliUi.h"

namespace fk::cli {

int RunList(const Args& a, CliUi& ui);
int RunFormat(const Args& a, CliUi& ui);
int RunEject(const Args& a, CliUi& ui);
int RunBackup(const Args& a, CliUi& ui);
int RunRestore(const Args& a, CliUi& ui);
// hfs status|install|uninstall; status is printed to out.
int RunHfs(const Args& a, CliUi& ui, std::FILE* out);
int RunClover(const Args& a, CliUi& ui);
int RunRecovery(const Args& a, CliUi& ui);
int RunExtractDmg(const Args& a, CliUi& ui);

// format --recovery-hd: the image is an HFS+ volume that fits the second
// partition of the layout the run will write (false after saying why not;
// disk -1: only that it is an HFS+ volume);
// after the run, restores it onto partition 2 of the disk.
bool CheckRecoveryHdImage(const Args& a, int disk, std::FILE* err);
int WriteRecoveryHd(const Args& a, CliUi& ui, const std::string& diskPath);
int RunRecoveryUpdate(const Args& a, CliUi& ui);
int RunRecoveryList(const Args& a, CliUi& ui);

// The saved Recovery HD list: number, build, date, size, name and URL.
void PrintRecoveryList(std::FILE* out);
int RunDl(const Args& a, CliUi& ui);

// Prints the Destination Disk tree with the disk numbers --disk takes.
void PrintDiskList(CliUi& ui, std::FILE* out, bool all);

// Adds --image (creating it sparse with --size when missing) and lists the
// disks. Returns the index in AllDrives of the disk named by --disk or
// --image, -1 after printing why there is none.
int PrepareTarget(const Args& a, CliUi& ui, std::FILE* err);

}  // namespace fk::cli
