// flashkeel-cli format run as a subprocess on image files:
// what lands on the disk (MBR, boot records, file system, data set, hidden
// macOS files), the log of the run, and the refusals that leave the disk alone.
#include "tests/cli/CliFormatFixture.h"

namespace fk::test {
namespace {

TEST_F(CliFormat, UsageHelpAndList) {
  for (const char* bad : {"frobnicate", "format --bogus", "format --size 12Q --image x.img", "list --disk",
                          "format --boot-records Linux --image x.img",
                          "format --image x.img --size 64M --fs FAT32 --label a.b --yes"}) {
    CliResult r = home_.Run(bad);
    EXPECT_EQ(r.rc, 2) << "'" << bad << "': " << r.out;
  }
  for (const char* cmd : {"list", "format", "eject", "backup", "restore"}) {
    CliResult r = home_.Run(std::string(cmd) + " --help");
    EXPECT_EQ(r.rc, 0) << cmd << ": " << r.out;
    EXPECT_NE(r.out.find(cmd), std::string::npos) << r.out;
  }
  CliResult r = home_.Run("--help");
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("format"), std::string::npos);

  // A missing image without --size is not created.
  const std::string missing = dir_ / "missing.img";
  r = home_.Run("format --image " + Quote(missing) + " --yes");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_FALSE(std::filesystem::exists(missing));

  r = home_.Run("list --image " + Quote(missing));
  EXPECT_EQ(r.rc, 1) << r.out;

  const std::string img = dir_ / "listed.img";
  MakeSparseFile(img, kImageSize);
  r = home_.Run("list --all --image " + Quote(img));
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Destination Disk"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("listed.img 256 MB"), std::string::npos) << r.out;
}

TEST_F(CliFormat, CloverFat32TwoPartitionsWithZipDataSetThenNotFormatAddsFiles) {
  const std::string img = dir_ / "clover.img";
  const std::string zip = MakeZip(dir_ / "set.zip", kDataSet);
  CliResult r = home_.Run("format --image " + Quote(img) +
                          " --size 256M --boot-records Clover --fs FAT32-LBA --align 2048 --boot-size 128"
                          " --label FKTEST --data-set local:" + Quote(zip) + " --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  EXPECT_EQ(std::filesystem::file_size(img), static_cast<uintmax_t>(kImageSize));

  const std::string mbr = ReadFileBytes(img).substr(0, 512);
  const std::string boot0 = TemplateBytes("boot0");
  ASSERT_GE(boot0.size(), 440u);
  EXPECT_EQ(mbr.substr(0, 440), boot0.substr(0, 440)) << "boot0 code";
  EXPECT_EQ(mbr.substr(510), "\x55\xAA");
  auto e = ReadMbrEntries(mbr);
  EXPECT_EQ(e[0].flag, 0x80);
  EXPECT_EQ(e[0].type, 0x0C) << "FAT32-LBA type";
  EXPECT_EQ(e[0].start, 2048u);
  EXPECT_EQ(e[0].sectors, 128u * 2048);
  EXPECT_EQ(e[1].flag, 0);
  EXPECT_GE(e[1].start, e[0].start + e[0].sectors);
  EXPECT_EQ(e[1].start % 2048, 0u);
  EXPECT_GT(e[1].sectors, 0u);
  EXPECT_LE(uint64_t{e[1].start} + e[1].sectors, static_cast<uint64_t>(kImageSize / 512));
  EXPECT_EQ(e[2].type, 0);
  EXPECT_EQ(e[3].type, 0);

  ExpectCloverFat32Volume(img, e[0]);
  const std::string log = home_.LogText();
  ExpectPhaseLog(log);
  EXPECT_EQ(MissingInOrder(log, {"> Clover_Format Starting ...", "> Open CloverLocalSelectedName$ = " + zip,
                                 "> InstallDataSet$=Local", "> FormatThread: File Extension: zip",
                                 "> UnlockClose hPhysicalDrive = ", "> All done"}),
            "")
      << log;

  // Not_Format copies a data set onto the existing volume and formats nothing.
  const std::string before = ReadFileBytes(img);
  const std::string zip2 = MakeZip(dir_ / "more.zip", {{"EFI/CLOVER/extra.txt", "added later\n"}});
  r = home_.Run("format --image " + Quote(img) + " --boot-records Not_Format --data-set local:" + Quote(zip2) +
                " --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  const std::string after = ReadFileBytes(img);
  EXPECT_EQ(after.substr(0, 512), before.substr(0, 512)) << "MBR untouched";
  EXPECT_EQ(after.substr(uint64_t{e[0].start} * 512, 512), before.substr(uint64_t{e[0].start} * 512, 512))
      << "boot sector untouched";
  std::string back;
  ASSERT_TRUE(FatReadFile(img, e[0].start, "EFI/CLOVER/extra.txt", &back));
  EXPECT_EQ(back, "added later\n");
  ExpectCloverFat32Volume(img, e[0]);  // the first set is still there
  const std::string log2 = home_.LogText();
  EXPECT_EQ(MissingInOrder(log2, {"> Found Not Format Boot Records Selected ...", "> FormatThread Boot_records$ = "
                                  "Not_Format", "> InstallDataSet$=Local", "> All done"}),
            "")
      << log2;
  EXPECT_EQ(log2.find("> Phase 1"), std::string::npos) << log2;

  // Not onto a volume whose entry shares sectors with another partition.
  {
    const std::string whole = ReadFileBytes(img);
    std::string overlapping = whole;
    const uint32_t inside = e[0].start + 8;
    overlapping.replace(446 + 16 + 8, 4, reinterpret_cast<const char*>(&inside), 4);
    WriteFileBytes(img, overlapping);
    r = home_.Run("format --image " + Quote(img) + " --boot-records Not_Format --data-set local:" + Quote(zip2) +
                  " --yes");
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_NE(r.out.find("Can't copy Boot Data Set Files - The partition overlaps another partition"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(ReadFileBytes(img) == overlapping);
    WriteFileBytes(img, whole);
  }

  // A local release archive is converted (before the question) and installed.
  if (!test::CanMakeCloverIso7z()) return;
  std::string err;
  const std::string iso = test::MakeCloverIso7z(dir_.path(), "5119", zip2, {{"EFI/CLOVER/config.plist", "<plist/>"}},
                                                &err);
  ASSERT_FALSE(iso.empty()) << err;
  r = home_.Run("format --image " + Quote(img) + " --boot-records Not_Format --data-set local:" + Quote(iso) +
                " --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  ASSERT_TRUE(FatReadFile(img, e[0].start, "EFI/CLOVER/config.plist", &back));
  EXPECT_EQ(back, "<plist/>");
}

TEST_F(CliFormat, WindowsOnePartitionAlignedToCylinder) {
  const std::string img = dir_ / "win.img";
  CliResult r = home_.Run("format --image " + Quote(img) +
                          " --size 256M --boot-records Windows --fs FAT32 --align 63 --one-partition --label FKTEST"
                          " --data-set none --yes");
  ASSERT_EQ(r.rc, 0) << r.out << home_.LogText();
  const std::string mbr = ReadFileBytes(img).substr(0, 512);
  const std::string hdd = TemplateBytes("USB-HDD+");
  ASSERT_GE(hdd.size(), 440u);
  EXPECT_EQ(mbr.substr(0, 440), hdd.substr(0, 440)) << "USB-HDD+ code";
  auto e = ReadMbrEntries(mbr);
  EXPECT_EQ(e[0].flag, 0x80);
  EXPECT_EQ(e[0].start, 63u);
  EXPECT_EQ(e[0].type, 0x0B) << "FAT32 as the formatter leaves it";
  // One partition: up to the last whole cylinder of the image.
  EXPECT_EQ(e[1].type, 0);
  EXPECT_GT(uint64_t{e[0].start} + e[0].sectors, static_cast<uint64_t>(kImageSize / 512 - 255 * 63));

  // The formatter's own boot record: no Clover code.
  const std::string vbr = ReadFileBytes(img).substr(63 * 512, 512);
  EXPECT_NE(vbr.substr(90), TemplateBytes("boot1f32alt").substr(90));
  EXPECT_EQ(vbr.substr(510), "\x55\xAA");
  std::string out;
  EXPECT_EQ(FsckPartition(img, e[0], false, dir_.path(), &out), 0) << out;
  EXPECT_EQ(FatAttributes(img, 63, ".metadata_never_index"), "") << "no data set, no marker files";
  const std::string log = home_.LogText();
  ExpectPhaseLog(log);
  EXPECT_NE(log.find("> Windows_Format Starting ..."), std::string::npos);
}

// Runs that must end before anything is written: the image keeps every byte.
TEST_F(CliFormat, RefusalsLeaveTheImageByteIdentical) {
  const std::string img = dir_ / "keep.img";
  MakeSparseFile(img, kImageSize);
  std::string pattern(4096, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7 + 3);
  {
    FILE* f = std::fopen(img.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fwrite(pattern.data(), 1, pattern.size(), f);
    std::fseek(f, 128 << 20, SEEK_SET);
    std::fwrite(pattern.data(), 1, pattern.size(), f);
    std::fclose(f);
  }
  const std::string original = ReadFileBytes(img);
  const std::string zip = MakeZip(dir_ / "set.zip", kDataSet);

  for (const char* fs : {"NTFS", "UDF"}) {
    CliResult r = home_.Run("format --image " + Quote(img) + " --boot-records Clover --fs " + fs +
                            " --data-set none --yes");
    EXPECT_EQ(r.rc, 1) << r.out;
    const std::string log = home_.LogText();
    EXPECT_NE(log.find("> Select FileSystem : FAT32-LBA or exFAT only!"), std::string::npos) << log;
    EXPECT_NE(r.out.find("Error : Select FileSystem : FAT32-LBA Or exFAT only!"), std::string::npos) << r.out;
    EXPECT_EQ(log.find("> Phase 1"), std::string::npos) << log;
    EXPECT_EQ(log.find("> All done"), std::string::npos) << log;
  }
  EXPECT_TRUE(ReadFileBytes(img) == original);

  // No --yes and no terminal: the question is answered Cancel.
  CliResult r = home_.Run("format --image " + Quote(img) + " --boot-records Clover --fs FAT32-LBA --data-set local:" +
                          Quote(zip));
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("no terminal to ask on"), std::string::npos) << r.out;
  EXPECT_EQ(home_.LogText().find("> Phase 1"), std::string::npos);
  EXPECT_TRUE(ReadFileBytes(img) == original);

  // An archive the run could not use is refused before the disk is touched.
  WriteFileBytes(dir_ / "junk.zip", "junk");
  WriteFileBytes(dir_ / "set.ZIP", ReadFileBytes(zip));
  const std::string whole = ReadFileBytes(zip);
  WriteFileBytes(dir_ / "cut.zip", whole.substr(0, whole.size() - 200));
  std::string hostile = whole;
  for (size_t at; (at = hostile.find("EFI/BOOT/")) != std::string::npos;) hostile.replace(at, 9, "EFI/../..");
  WriteFileBytes(dir_ / "hostile.zip", hostile);
  for (const char* bad : {"junk.zip", "set.ZIP", "cut.zip", "hostile.zip"}) {
    r = home_.Run("format --image " + Quote(img) + " --data-set local:" + Quote(dir_ / bad) + " --yes");
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_EQ(home_.LogText().find("> Phase 1"), std::string::npos) << bad;
    EXPECT_TRUE(ReadFileBytes(img) == original) << bad;
  }

  // On a terminal: OK to the not-USB question, then "no" to the final confirmation.
  if (HaveProgram("script")) {
    std::string out;
    int rc = Sh("printf 'ok\\nno\\n' | FLASHKEEL_HOME=" + Quote(home_.dir()) + " script -qec " +
                    Quote(Quote(FK_CLI_PATH) + " format --image " + Quote(img) +
                          " --boot-records Clover --fs FAT32-LBA --data-set none") +
                    " /dev/null",
                &out);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("ALL DATA ON DEVICE:"), std::string::npos) << out;
    EXPECT_NE(out.find("Task:\tClover format only"), std::string::npos) << out;
    const std::string log = home_.LogText();
    EXPECT_EQ(MissingInOrder(log, {"> CLI MessageBox: Warning", "> CLI MessageBox: WARNING"}), "") << log;
    EXPECT_EQ(log.find("> Phase 1"), std::string::npos) << log;
    EXPECT_TRUE(ReadFileBytes(img) == original);
  }

  // A label FAT32 cannot take, and a partition too small for FAT32.
  const std::string ini = ReadFileBytes(home_.dir() + "/flashkeel.ini");
  WriteFileBytes(home_.dir() + "/flashkeel.ini", ini + "VolumeLabel = " + std::string(300, 'A') + "\r\n");
  r = home_.Run("format --image " + Quote(img) + " --fs FAT32-LBA --data-set none --yes");
  WriteFileBytes(home_.dir() + "/flashkeel.ini", ini);
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("too long for FAT32"), std::string::npos) << r.out;
  const std::string small = dir_ / "small.img";
  WriteFileBytes(small, std::string(16 << 20, '\x6B'));
  r = home_.Run("format --image " + Quote(small) + " --fs FAT32-LBA --one-partition --data-set none --yes");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("too small for FAT32"), std::string::npos) << r.out;
  EXPECT_TRUE(ReadFileBytes(small) == std::string(16 << 20, '\x6B'));
  EXPECT_TRUE(ReadFileBytes(img) == original);

  // Not_Format needs a volume to copy onto.
  r = home_.Run("format --image " + Quote(img) + " --boot-records Not_Format --data-set local:" + Quote(zip) +
                " --yes");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(home_.LogText().find("> Can't copy Boot Data Set Files - Dest Disk Don't Have Letter!"),
            std::string::npos);
  EXPECT_TRUE(ReadFileBytes(img) == original);
}

TEST_F(CliFormat, FailuresSayWhy) {
  const std::string img = dir_ / "why.img";
  CliResult r = home_.Run("format --image " + Quote(img) + " --data-set local:/dev/zero --yes");
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("the data set is not a regular file: /dev/zero"), std::string::npos) << r.out;

  // A release archive whose signature passes but whose content cannot be unpacked: its
  // conversion fails before anything is written, and the output says why next to the designed line.
  const std::string bad = dir_ / "damaged.iso.7z";
  WriteFileBytes(bad, std::string("7z\xbc\xaf\x27\x1c", 6) + std::string(5000, '\x5A'));
  r = home_.Run("format --image " + Quote(img) + " --size 64M --boot-records Clover --fs FAT32-LBA --align 2048"
                " --one-partition --label FKTEST --data-set local:" + Quote(bad) + " --yes");
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("Clover Data set files Not Installed: Error During Extract Latest Clover Data Set. (exit code "),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Clearing MBR/GPT structures"), std::string::npos) << r.out;

  // A settings file too large to be read is ignored, and the user is told.
  const std::string ini = home_.dir() + "/flashkeel.ini";
  const std::string saved = ReadFileBytes(ini);
  std::filesystem::resize_file(ini, 17 << 20);
  WriteFileBytes(img, std::string(1 << 20, '\0'));
  r = home_.Run("list --image " + Quote(img));
  WriteFileBytes(ini, saved);
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("flashkeel-cli: the settings file is ignored, the defaults are used: " + ini + " is too large"),
            std::string::npos)
      << r.out;
}

// The disk that holds / is refused before any question. Run without --yes, so
// that even a broken guard would stop at the unanswered confirmation.
TEST_F(CliFormat, SystemDiskIsRefused) {
  // The whole disk under the source of /: its parent, or the source itself.
  std::string disk;
  if (Sh("src=$(findmnt -nvo SOURCE /) && p=$(lsblk -no PKNAME \"$src\" | head -1) && "
         "{ [ -n \"$p\" ] && echo \"$p\" || lsblk -dno NAME \"$src\"; }",
         &disk) != 0)
    GTEST_SKIP() << "the disk of / is not found";
  while (!disk.empty() && (disk.back() == '\n' || disk.back() == ' ')) disk.pop_back();
  if (disk.empty() || disk.find('\n') != std::string::npos) GTEST_SKIP() << "/ is not on one block device";
  CliResult r = home_.Run("format --disk /dev/" + disk + " --all --boot-records Clover --fs FAT32-LBA --data-set none");
  EXPECT_EQ(r.rc, 1) << r.out;
  const std::string log = home_.LogText();
  EXPECT_EQ(log.find("> CLI MessageBox: WARNING"), std::string::npos) << log;
  EXPECT_EQ(log.find("> Phase 1"), std::string::npos) << log;
  const bool refusedByList = r.out.find("not shown in the Destination Disk list") != std::string::npos ||
                             r.out.find("/dev/" + disk + " holds the running system") != std::string::npos;
  const bool refusedByRun = log.find("> FormatThread: Not permitted! You selected a System Drive.") !=
                            std::string::npos;
  EXPECT_TRUE(refusedByList || refusedByRun) << r.out << log;
}

// exFAT reaches a partition of an image through a loop device: a user who
// cannot make one is told so before anything is written.
TEST_F(CliFormat, ExfatOnAnImageWithoutLoopRightsIsRefusedBeforeAnyWrite) {
  if (!IsRoot() || !HaveProgram("setpriv")) GTEST_SKIP() << "needs root to run as an unprivileged user";
  if (Sh("setpriv --reuid=65534 --regid=65534 --clear-groups test -x " + Quote(FK_CLI_PATH)) != 0)
    GTEST_SKIP() << "the build tree is not reachable by an unprivileged user";
  const std::string home = dir_ / "nobody";
  std::filesystem::create_directories(home);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
  std::filesystem::permissions(home, std::filesystem::perms::all);
  const std::string img = home + "/x.img";
  MakeSparseFile(img, 64LL << 20);
  std::filesystem::permissions(img, std::filesystem::perms::all);
  const std::string before = ReadFileBytes(img);
  std::string out;
  int rc = Sh("setpriv --reuid=65534 --regid=65534 --clear-groups env FLASHKEEL_HOME=" + Quote(home) + " " +
                  Quote(FK_CLI_PATH) + " format --image " + Quote(img) +
                  " --fs exFAT --one-partition --data-set none --yes </dev/null 2>&1",
              &out);
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("needs a loop device"), std::string::npos) << out;
  EXPECT_TRUE(ReadFileBytes(img) == before);
}

// Ctrl-C while the partition is being zeroed (--full): the run stops, closes
// its handles and exits with 1.
TEST_F(CliFormat, InterruptDuringFullFormatCancels) {
  const std::string img = dir_ / "cancel.img";
  const std::string out = dir_ / "cancel.out";
  MakeSparseFile(img, 4ll << 30);
  const std::string script =
      "FLASHKEEL_HOME=" + Quote(home_.dir()) + " " + Quote(FK_CLI_PATH) + " format --image " + Quote(img) +
      " --boot-records Windows --fs FAT32-LBA --one-partition --full --data-set none --yes </dev/null >" +
      Quote(out) + " 2>&1 & pid=$!\n"
      "i=0; while ! grep -q 'Formatting: [0-9]' " + Quote(out) + " 2>/dev/null; do\n"
      "  i=$((i+1)); [ $i -gt 1200 ] && break; sleep 0.02; done\n"
      "kill -INT $pid; wait $pid; echo \"rc=$?\"";
  std::string res;
  Sh(script, &res);
  EXPECT_NE(res.find("rc=1"), std::string::npos) << res << ReadFileBytes(out);
  const std::string log = home_.LogText();
  EXPECT_EQ(MissingInOrder(log, {"> Phase 5 Success open Disk", "> Error FormatDrive ",
                                 "> Finish UnlockClose hPhysicalDrive = "}),
            "")
      << log;
  EXPECT_EQ(log.find("> All done"), std::string::npos) << log;
  // The zeroing had begun and stopped far short of the 4 GiB.
  struct stat st {};
  ASSERT_EQ(::stat(img.c_str(), &st), 0);
  EXPECT_GT(st.st_blocks * 512, 2ll << 20);
  EXPECT_LT(st.st_blocks * 512, 3ll << 30);
}

// Two signals while the data set is being copied (by a stand-in mcopy that
// never ends): the second kills the copy program's group at once, yet the run
// still cleans up: no program, loop device, mount or work directory is left.
// SIGTERM has its own wording; a second one acts like a second Ctrl-C.
TEST_F(CliFormat, SecondSignalHurriesButNeverSkipsCleanup) {
  const std::string bin = dir_ / "bin", tmp = dir_ / "tmp", pidFile = dir_ / "mcopy.pid";
  std::filesystem::create_directories(bin);
  std::filesystem::create_directories(tmp);
  WriteFileBytes(bin + "/mcopy", "#!/bin/sh\necho $$ > " + Quote(pidFile) + "\nexec sleep 120\n");
  std::filesystem::permissions(bin + "/mcopy", std::filesystem::perms::owner_all);
  const std::string zip = MakeZip(dir_ / "set.zip", kDataSet);
  const std::string img = dir_ / "sig.img";
  for (const auto& [sig, code] : {std::pair<std::string, int>{"TERM", 143}, {"INT", 130}}) {
    SCOPED_TRACE(sig);
    std::filesystem::remove(pidFile);
    const std::string out = dir_ / "sig.out";
    const std::string script =
        "PATH=" + Quote(bin) + ":$PATH TMPDIR=" + Quote(tmp) + " FLASHKEEL_HOME=" + Quote(home_.dir()) + " " +
        Quote(FK_CLI_PATH) + " format --image " + Quote(img) + " --size 64M --fs FAT32-LBA --one-partition " +
        "--data-set local:" + Quote(zip) + " --yes </dev/null >" + Quote(out) + " 2>&1 & pid=$!\n"
        "i=0; while [ ! -s " + Quote(pidFile) + " ]; do i=$((i+1)); [ $i -gt 1500 ] && break; sleep 0.02; done\n"
        "kill -" + sig + " $pid; sleep 0.3; kill -" + sig + " $pid; wait $pid; echo \"rc=$?\"";
    std::string res;
    Sh(script, &res);
    const std::string said = ReadFileBytes(out);
    EXPECT_NE(res.find("rc=" + std::to_string(code)), std::string::npos) << res << said;
    EXPECT_EQ(said.find("Ctrl-C again") == std::string::npos, sig == "TERM") << said;
    std::string child = ReadFileBytes(pidFile);
    while (!child.empty() && child.back() == '\n') child.pop_back();
    ASSERT_FALSE(child.empty()) << said;
    EXPECT_NE(Sh("kill -0 " + child + " 2>/dev/null"), 0) << "the copy program still runs";
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "a work directory is left";
    EXPECT_EQ(ReadFileBytes("/proc/self/mountinfo").find(tmp), std::string::npos);
    if (IsRoot()) {
      std::string loops;
      Sh("losetup -j " + Quote(img), &loops);
      EXPECT_EQ(loops, "");
    }
  }
}

}  // namespace
}  // namespace fk::test
