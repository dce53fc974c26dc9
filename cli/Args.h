// Command-line parsing for flashkeel-cli, kept apart from running anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fk::cli {

enum class Command { None, Help, Version, List, Format, Eject, Backup, Restore, Hfs, Clover, RecoveryUpdate,
                     RecoveryList, RecoveryDownload, ExtractDmg, DlUpdate, DlList, DlGet };

struct Args {
  Command command = Command::None;
  bool help = false;  // --help given for the command
  bool all = false;   // list --all: fixed disks too

  // Target disk: --disk N|/dev/X or --image FILE [--size SIZE].
  std::string disk;
  std::string image;
  int64_t imageSize = 0;  // 0 = not given

  // format: overrides of the settings for this run only.
  std::optional<std::string> bootRecords;  // Clover|FreeDos|Windows|Not_Format
  std::optional<std::string> fileSystem;   // FAT32|FAT32-LBA|exFAT|NTFS|UDF
  std::optional<std::string> align;        // 63|2048|4096|8192
  std::optional<int> bootSizeMb;
  bool onePartition = false;
  std::optional<std::string> label;
  bool full = false;
  std::optional<std::string> dataSet;  // "none", "local:PATH", "dl" or "dl:REV"
  std::string recoveryHd;              // --recovery-hd FILE.hfs: restored onto partition 2 afterwards

  // backup/restore
  int partition = 0;  // 1..4
  std::string file;   // --to / --from
  bool verify = false;

  // hfs: status|install|uninstall
  std::string hfsAction;
  // clover check|list|download
  std::string cloverAction;
  std::string rev;   // --rev N ("" = the newest)
  std::string repo;  // --repo DIR ("" = the CloverLocalRepository setting)
  // recovery download N / extract-dmg FILE: the words after the command; --to DIR
  std::vector<std::string> words;
  std::string toDir;

  bool yes = false;
};

struct ParseResult {
  bool ok = false;
  std::string error;  // for exit code 2
  Args args;
};

ParseResult ParseArgs(const std::vector<std::string>& argv);  // argv without the program name

// "256M", "1G", "512MiB", "4096" (bytes), "2GB"; nullopt when not a size.
std::optional<int64_t> ParseSize(const std::string& text);

// Help text of a command (Command::None: the overview).
std::string HelpText(Command c);

}  // namespace fk::cli
