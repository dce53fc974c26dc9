#include "cli/Args.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace fk::cli {

std::optional<int64_t> ParseSize(const std::string& text) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
  size_t pos = 0;
  int64_t value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    if (value > (INT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  std::string unit = text.substr(pos);
  std::transform(unit.begin(), unit.end(), unit.begin(), [](unsigned char c) { return std::toupper(c); });
  int shift = 0;
  if (unit.empty() || unit == "B") shift = 0;
  else if (unit == "K" || unit == "KB" || unit == "KIB") shift = 10;
  else if (unit == "M" || unit == "MB" || unit == "MIB") shift = 20;
  else if (unit == "G" || unit == "GB" || unit == "GIB") shift = 30;
  else if (unit == "T" || unit == "TB" || unit == "TIB") shift = 40;
  else return std::nullopt;
  if (shift && value > (INT64_MAX >> shift)) return std::nullopt;
  return value << shift;
}

static bool OneOf(const std::string& v, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed)
    if (v == a) return true;
  return false;
}

ParseResult ParseArgs(const std::vector<std::string>& argv) {
  ParseResult r;
  Args& a = r.args;
  auto fail = [&](std::string msg) {
    r.ok = false;
    r.error = std::move(msg);
    return r;
  };
  if (argv.empty()) {
    a.command = Command::Help;
    r.ok = true;
    return r;
  }
  const std::string& cmd = argv[0];
  if (cmd == "list") a.command = Command::List;
  else if (cmd == "format") a.command = Command::Format;
  else if (cmd == "eject") a.command = Command::Eject;
  else if (cmd == "backup") a.command = Command::Backup;
  else if (cmd == "restore") a.command = Command::Restore;
  else if (cmd == "hfs") a.command = Command::Hfs;
  else if (cmd == "clover") a.command = Command::Clover;
  else if (cmd == "recovery") {
    const std::string sub = argv.size() > 1 ? argv[1] : std::string();
    if (sub == "update") a.command = Command::RecoveryUpdate;
    else if (sub == "download") a.command = Command::RecoveryDownload;
    else if (sub == "list" || sub == "--help" || sub == "-h") a.command = Command::RecoveryList;
    else return fail("recovery takes update, list or download");
  }
  else if (cmd == "extract-dmg") a.command = Command::ExtractDmg;
  else if (cmd == "dl") {
    const std::string sub = argv.size() > 1 ? argv[1] : std::string();
    if (sub == "update") a.command = Command::DlUpdate;
    else if (sub == "get") a.command = Command::DlGet;
    else if (sub == "list" || sub == "--help" || sub == "-h") a.command = Command::DlList;
    else return fail("dl takes update, list or get");
  }
  else if (cmd == "help" || cmd == "--help" || cmd == "-h") a.command = Command::Help;
  else if (cmd == "--version" || cmd == "version") a.command = Command::Version;
  else return fail("unknown command: " + cmd);

  auto allowed = [&](const std::string& opt) -> bool {
    static const std::vector<std::string> common = {"--help", "-h"};
    if (std::find(common.begin(), common.end(), opt) != common.end()) return true;
    switch (a.command) {
      case Command::List: return opt == "--all" || opt == "--image";
      case Command::Format:
        return OneOf(opt, {"--disk", "--all", "--image", "--size", "--boot-records", "--fs", "--align", "--boot-size",
                           "--one-partition", "--label", "--full", "--data-set", "--recovery-hd", "--yes", "-y"});
      case Command::Eject: return OneOf(opt, {"--disk", "--all", "--image"});
      case Command::Backup: return OneOf(opt, {"--disk", "--all", "--image", "--partition", "--to", "--yes", "-y"});
      case Command::Restore:
        return OneOf(opt, {"--disk", "--all", "--image", "--partition", "--from", "--yes", "-y", "--verify"});
      case Command::Hfs: return OneOf(opt, {"--yes", "-y"});
      case Command::Clover:
        return a.cloverAction == "download" ? OneOf(opt, {"--rev", "--repo"}) : a.cloverAction == "list" && opt == "--repo";
      case Command::RecoveryDownload:
      case Command::ExtractDmg: return opt == "--to";
      case Command::DlGet: return opt == "--to";
      default: return false;
    }
  };
  const bool takesWords =
      a.command == Command::RecoveryDownload || a.command == Command::DlGet || a.command == Command::ExtractDmg;

  size_t first = 1;
  if (a.command == Command::Hfs && argv.size() > 1 && argv[1].rfind("-", 0) != 0) {
    if (!OneOf(argv[1], {"status", "install", "uninstall"}))
      return fail("hfs takes status, install or uninstall, not " + argv[1]);
    a.hfsAction = argv[1];
    first = 2;
  }
  if (a.command == Command::Clover && argv.size() > 1 && argv[1].rfind("-", 0) != 0) {
    a.cloverAction = argv[1];
    if (!OneOf(a.cloverAction, {"check", "list", "download"}))
      return fail("unknown clover action: " + a.cloverAction + " (check, list or download)");
    first = 2;
  }
  const bool hasSub = a.command == Command::RecoveryUpdate || a.command == Command::RecoveryList ||
                      a.command == Command::RecoveryDownload || a.command == Command::DlUpdate ||
                      a.command == Command::DlList || a.command == Command::DlGet;
  if (hasSub && argv.size() > 1 && argv[1][0] != '-') first = 2;
  for (size_t i = first; i < argv.size(); ++i) {
    std::string opt = argv[i];
    if (takesWords && (opt.empty() || opt[0] != '-')) {
      a.words.push_back(opt);
      continue;
    }
    std::string val;
    bool hasInline = false;
    if (auto eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
      val = opt.substr(eq + 1);
      opt = opt.substr(0, eq);
      hasInline = true;
    }
    if (!allowed(opt)) return fail("unknown option for " + cmd + ": " + opt);
    auto value = [&]() -> std::optional<std::string> {
      if (hasInline) return val;
      if (i + 1 >= argv.size()) return std::nullopt;
      return argv[++i];
    };
    auto need = [&](std::string& out) -> bool {
      auto v = value();
      if (!v || v->empty()) return false;
      out = *v;
      return true;
    };
    std::string v;
    if (opt == "--help" || opt == "-h") a.help = true;
    else if (opt == "--all") a.all = true;
    else if (opt == "--yes" || opt == "-y") a.yes = true;
    else if (opt == "--one-partition") a.onePartition = true;
    else if (opt == "--full") a.full = true;
    else if (opt == "--verify") a.verify = true;
    else if (!need(v)) return fail(opt + " needs a value");
    else if (opt == "--disk") a.disk = v;
    else if (opt == "--image") a.image = v;
    else if (opt == "--size") {
      auto s = ParseSize(v);
      if (!s || *s <= 0) return fail("not a size: " + v + " (examples: 256M, 2G)");
      a.imageSize = *s;
    } else if (opt == "--boot-records") {
      if (!OneOf(v, {"Clover", "FreeDos", "Windows", "Not_Format"}))
        return fail("--boot-records takes Clover, FreeDos, Windows or Not_Format");
      a.bootRecords = v;
    } else if (opt == "--fs") {
      if (!OneOf(v, {"FAT32", "FAT32-LBA", "exFAT", "NTFS", "UDF"}))
        return fail("--fs takes FAT32, FAT32-LBA, exFAT, NTFS or UDF");
      a.fileSystem = v;
    } else if (opt == "--align") {
      if (!OneOf(v, {"63", "2048", "4096", "8192"})) return fail("--align takes 63, 2048, 4096 or 8192");
      a.align = v;
    } else if (opt == "--boot-size") {
      if (v.find_first_not_of("0123456789") != std::string::npos || v.size() > 7)
        return fail("--boot-size takes megabytes, 32 to 2000000");
      int mb = std::stoi(v);
      if (mb < 32 || mb > 2000000) return fail("--boot-size takes megabytes, 32 to 2000000");
      a.bootSizeMb = mb;
    } else if (opt == "--label") {
      // Checked here, as the file-system tools would refuse it only after the
      // disk has been cleared.
      size_t chars = 0;
      for (unsigned char ch : v) chars += (ch & 0xC0) != 0x80;  // UTF-8 lead bytes
      if (chars > 11) return fail("--label takes at most 11 characters");
      for (unsigned char ch : v)
        if (ch < 0x20 || ch == 0x7F || std::strchr("*?:/\\|<>\"", ch))
          return fail("--label cannot hold control characters or any of * ? : / \\ | < > \"");
      a.label = v;
    } else if (opt == "--data-set") {
      const bool dl = v == "dl" || (v.rfind("dl:", 0) == 0 && v.size() > 3 && v.size() <= 11 &&
                                    v.find_first_not_of("0123456789", 3) == std::string::npos);
      if (v != "none" && v.rfind("local:", 0) != 0 && !dl)
        return fail("--data-set takes none, local:PATH, dl or dl:REVISION");
      if (v == "local:") return fail("--data-set local: needs a path");
      a.dataSet = v;
    } else if (opt == "--partition") {
      if (v.size() != 1 || v[0] < '1' || v[0] > '4') return fail("--partition takes 1 to 4");
      a.partition = v[0] - '0';
    } else if (opt == "--recovery-hd") {
      a.recoveryHd = v;
    } else if (takesWords && opt == "--to") {
      a.toDir = v;
    } else if (opt == "--to" || opt == "--from") {
      a.file = v;
    } else if (opt == "--rev") {
      if (v.size() > 8 || v.find_first_not_of("0123456789") != std::string::npos || std::stoi(v) == 0)
        return fail("--rev takes a Clover revision number");
      a.rev = v;
    } else if (opt == "--repo") {
      a.repo = v;
    }
  }
  if (a.command == Command::Clover && !a.help && a.cloverAction.empty())
    return fail("clover needs an action: check, list or download");
  if (a.help || a.command == Command::Help || a.command == Command::Version || a.command == Command::List ||
      a.command == Command::Clover ||
      (hasSub && a.command != Command::RecoveryDownload && a.command != Command::DlGet)) {
    r.ok = true;
    return r;
  }
  if (a.command == Command::DlGet) {
    if (a.words.size() != 1) return fail("usage: dl get N (N as dl list numbers them)");
    if (a.words[0].empty() || a.words[0].size() > 6 || a.words[0].find_first_not_of("0123456789") != std::string::npos)
      return fail("dl get takes the number dl list shows: " + a.words[0]);
    r.ok = true;
    return r;
  }
  if (a.command == Command::RecoveryDownload) {
    if (a.words.size() != 1) return fail("usage: recovery download N (N as recovery list numbers them)");
    if (a.words[0].empty() || a.words[0].size() > 6 || a.words[0].find_first_not_of("0123456789") != std::string::npos)
      return fail("recovery download takes the number recovery list shows: " + a.words[0]);
    r.ok = true;
    return r;
  }
  if (a.command == Command::Hfs) {
    if (a.hfsAction.empty()) return fail("hfs needs status, install or uninstall");
    r.ok = true;
    return r;
  }
  if (a.command == Command::ExtractDmg) {
    if (a.words.size() != 1) return fail("extract-dmg takes one DMG file");
    r.ok = true;
    return r;
  }
  if (a.disk.empty() == a.image.empty()) return fail(cmd + " needs exactly one of --disk or --image");
  if (a.imageSize && a.image.empty()) return fail("--size goes with --image");
  if (a.onePartition && a.bootSizeMb) return fail("--one-partition and --boot-size exclude each other");
  if (!a.recoveryHd.empty() && a.onePartition)
    return fail("--recovery-hd needs the second partition: drop --one-partition");
  if (!a.recoveryHd.empty() && a.bootRecords == "Not_Format")
    return fail("--recovery-hd needs a run that writes the partition table (not Not_Format)");
  if (a.command == Command::Backup || a.command == Command::Restore) {
    if (a.partition == 0) return fail(cmd + " needs --partition N");
    if (a.file.empty()) return fail(cmd + (a.command == Command::Backup ? " needs --to FILE" : " needs --from FILE"));
  }
  r.ok = true;
  return r;
}

std::string HelpText(Command c) {
  switch (c) {
    case Command::List:
      return "usage: flashkeel-cli list [--all] [--image FILE]\n"
             "  Prints the Destination Disk tree: USB and removable disks, each with its partitions.\n"
             "  --all          also fixed disks (as the EnableFixedDisks setting does)\n"
             "  --image FILE   also list a disk image file (shown as a fixed disk)\n";
    case Command::Format:
      return "usage: flashkeel-cli format (--disk N|/dev/X [--all] | --image FILE [--size SIZE]) [options]\n"
             "  Clears the disk, writes a new MBR with one or two partitions, formats the first,\n"
             "  writes the boot records and copies the data set. The settings file gives the\n"
             "  defaults; these options override them for this run only:\n"
             "  --boot-records Clover|FreeDos|Windows|Not_Format\n"
             "  --fs FAT32|FAT32-LBA|exFAT|NTFS|UDF\n"
             "  --align 63|2048|4096|8192      first sector of the boot partition\n"
             "  --boot-size MB                 size of the boot partition (two partitions)\n"
             "  --one-partition                one partition over the whole disk\n"
             "  --label TEXT                   volume label, 11 characters at most (FAT32: ASCII)\n"
             "  --full                         full format (zero the partition first)\n"
             "  --data-set none|local:PATH|dl[:REV]\n"
             "                                 Clover data set: none, a local .zip/.7z archive, or the\n"
             "                                 release archive of revision REV (default: the newest),\n"
             "                                 downloaded and converted before the disk is touched\n"
             "  --recovery-hd FILE.hfs         afterwards write this HFS+ volume image onto the second\n"
             "                                 partition (as restore does); checked before the disk is touched\n"
             "  --image FILE [--size SIZE]     work on a disk image; created sparse when missing\n"
             "  --all                          --disk may name a fixed disk (as list --all shows them)\n"
             "  --yes                          answer OK to the confirmation questions\n"
             "  Without --yes the questions are asked on the terminal; with no terminal the run is refused.\n"
             "  Ctrl-C cancels like the Cancel button.\n";
    case Command::Eject:
      return "usage: flashkeel-cli eject (--disk N|/dev/X [--all] | --image FILE)\n"
             "  Unmounts every partition, flushes and powers the USB drive off (a loop disk is detached).\n";
    case Command::Backup:
      return "usage: flashkeel-cli backup (--disk N|/dev/X [--all] | --image FILE) --partition N --to FILE [--yes]\n"
             "  Saves partition N (1-4) byte for byte into FILE.\n"
             "  --all   --disk may name a fixed disk (as list --all shows them)\n"
             "  --yes   answer Yes to the questions (the file choice, overwriting an existing FILE);\n"
             "          without it they are asked on the terminal, and refused when there is none\n";
    case Command::Restore:
      return "usage: flashkeel-cli restore (--disk N|/dev/X [--all] | --image FILE) --partition N --from FILE\n"
             "                             [--yes] [--verify]\n"
             "  Writes FILE byte for byte onto partition N (1-4) and fits its MBR entry to the image.\n"
             "  --all     --disk may name a fixed disk (as list --all shows them)\n"
             "  --yes     answer Yes to the question before writing; without it the question is asked\n"
             "            on the terminal, and refused when there is none\n"
             "  --verify  reads the partition back afterwards and compares it with FILE\n";
    case Command::Hfs:
      return "usage: flashkeel-cli hfs status|install|uninstall [--yes]\n"
             "  Read support for HFS+ volumes (a restored Recovery HD): the kernel module hfsplus,\n"
             "  loaded now and at every start through /etc/modules-load.d/hfsplus.conf.\n"
             "  status      shows whether it is installed and whether the kernel reads HFS+ now\n"
             "  install     loads the module and installs the load file (needs root)\n"
             "  uninstall   removes the load file and unloads the module unless an HFS+ volume is mounted\n"
             "  --yes       answer OK to the question before installing\n";
    case Command::Clover:
      return "usage: flashkeel-cli clover check\n"
             "       flashkeel-cli clover list [--repo DIR]\n"
             "       flashkeel-cli clover download [--rev N] [--repo DIR]\n"
             "  check     asks the release site for the newest Clover revision, prints it and the list of\n"
             "            revisions, and stores them in the settings file (CloverLastRev)\n"
             "  list      prints the archives of the local repository with their revisions; * marks the\n"
             "            one a Local format run takes\n"
             "  download  downloads the release archive Clover-N-X64.iso.7z of revision N (default: the\n"
             "            newest) into the local repository\n"
             "  --repo DIR  the local repository for this run (default: the CloverLocalRepository setting)\n";
    case Command::RecoveryDownload:
      return "usage: flashkeel-cli recovery download N [--to DIR]\n"
             "  Downloads Recovery HD package N of the saved list (as 'recovery list' numbers them),\n"
             "  checks it, and extracts its HFS+ image as \"NAME.hfs\".\n"
             "  --to DIR   the folder for the image (default: the FKLImageLocalRepo setting)\n"
             "  Ctrl-C cancels.\n";
    case Command::ExtractDmg:
      return "usage: flashkeel-cli extract-dmg FILE [--to DIR]\n"
             "  Extracts the HFS(HFS+) volume of a DMG file as \"FILE-NAME.hfs\".\n"
             "  --to DIR   the folder for the image (default: the current folder)\n";
    case Command::RecoveryUpdate:
    case Command::RecoveryList:
      return "usage: flashkeel-cli recovery update\n"
             "       flashkeel-cli recovery list\n"
             "  update  reads Apple's software update catalogs (the built-in ones and those of the\n"
             "          settings group [Sucatalog User Defined URL list]), looks up the macOS build of\n"
             "          every Recovery HD package and saves the list into the settings file\n"
             "  list    prints the saved list: number, build, date, size and name of each package\n"
             "  $FLASHKEEL_APPLE_CATALOG replaces the catalog server (scheme and host) of the built-in\n"
             "  catalogs; $FLASHKEEL_CA_FILE names an extra certificate authority trusted for https.\n";
    case Command::DlUpdate:
    case Command::DlList:
    case Command::DlGet:
      return "usage: flashkeel-cli dl update\n"
             "       flashkeel-cli dl list\n"
             "       flashkeel-cli dl get N [--to DIR]\n"
             "  update  downloads the program's list of additional downloads (DLList.ini) and prints\n"
             "          both lists (yours, UserDL.ini, first)\n"
             "  list    prints the entries of UserDL.ini, numbered, with sizes\n"
             "  get N   downloads entry N (as update or list numbered it) into the Clover local\n"
             "          repository, or into DIR; the entry's Catalog names a sub-folder there\n"
             "  $FLASHKEEL_SITE replaces the program's site (scheme and host).\n";
    default:
      return "usage: flashkeel-cli COMMAND [options]\n"
             "Commands:\n"
             "  list      show the disks Flashkeel can work on\n"
             "  format    make a bootable drive or disk image\n"
             "  eject     safely eject a USB drive\n"
             "  backup    save a partition to an image file\n"
             "  restore   write an image file onto a partition\n"
             "  hfs       install or remove read support for HFS+ volumes\n"
             "  clover    check, list and download Clover releases\n"
             "  recovery  update or list the Recovery HD packages of Apple's catalogs\n"
             "  recovery download N: a Recovery HD package to an HFS+ image\n"
             "  extract-dmg  the HFS(HFS+) volume of a DMG file to an image\n"
             "  dl        update, list and get the additional downloads\n"
             "Run 'flashkeel-cli COMMAND --help' for the options of a command.\n"
             "Exit codes: 0 success, 1 failure or cancel, 2 bad usage.\n";
  }
}

}  // namespace fk::cli
