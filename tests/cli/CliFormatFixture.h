// The fixture of the flashkeel-cli format runs: the data set they copy, the
// log lines every run writes, and the checks of a Clover FAT32 volume.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "format/BootCode.h"
#include "format/VolumeFiles.h"
#include "platform/LoopDevice.h"
#include "tests/cli/CliRun.h"
#include "tests/support/CloverIso.h"

namespace fk::test {

inline constexpr int64_t kImageSize = 256ll << 20;

inline std::string TemplateBytes(const char* name) {
  const BootTemplate* t = FindBootTemplate(name);
  return t ? std::string(reinterpret_cast<const char*>(t->data), t->size) : std::string();
}

// The files of the data set the runs copy.
inline const std::vector<std::pair<std::string, std::string>> kDataSet = {
    {"boot", std::string("stand-in boot program\n") + std::string(3000, 'b')},
    {"EFI/CLOVER/config.plist", "<plist>test</plist>\n"},
    {"EFI/BOOT/BOOTX64.efi", std::string(70000, 'e')},
};

// The log lines every formatting run writes, in this order.
inline const std::vector<std::string> kPhaseLines = {
    "> FormatThread Save GadgetIndexSave = ",
    "> FormatThread Boot_records$ = ",
    "> Phase 1 Success open Disk",
    "> Finish UnlockClose hPhysicalDrive = ",
    "> Phase 4 FormatThread: CurrentDisk\\DiskNumber = ",
    "> Phase 4 FormatThread: CurrentDisk\\BusType$ = ",
    "> Phase 5 Success open Disk",
    "> Success open volume ",
    "> Unmount volume ",
    "> Remount Volume ",
};

class CliFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "fsck.fat", "mcopy", "mattrib"})
      if (!HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
  }

  // Checks the FAT32 volume of a Clover run: boot record, fsck, data set, hidden files.
  void ExpectCloverFat32Volume(const std::string& image, const MbrEntry& p) {
    const std::string vbr = ReadFileBytes(image).substr(uint64_t{p.start} * 512, 512);
    const std::string pbr = TemplateBytes("boot1f32alt");
    ASSERT_EQ(pbr.size(), 512u);
    EXPECT_EQ(vbr.substr(0, 3), pbr.substr(0, 3));
    EXPECT_EQ(vbr.substr(90), pbr.substr(90)) << "boot1f32alt code after the BPB";
    EXPECT_EQ(vbr.substr(82, 8), "FAT32   ");
    EXPECT_EQ(vbr.substr(71, 11), "FKTEST     ");

    std::string out;
    EXPECT_EQ(FsckPartition(image, p, false, dir_.path(), &out), 0) << out;
    for (const auto& [name, data] : kDataSet) {
      std::string back;
      ASSERT_TRUE(FatReadFile(image, p.start, name, &back)) << name;
      EXPECT_EQ(back, data) << name;
    }
    for (const char* hidden : {".metadata_never_index", ".fseventsd", ".fseventsd/no_log"}) {
      const std::string attrs = FatAttributes(image, p.start, hidden);
      EXPECT_NE(attrs.find('H'), std::string::npos) << hidden << " attributes: '" << attrs << "'";
    }
    std::string empty = "x";
    EXPECT_TRUE(FatReadFile(image, p.start, ".fseventsd/no_log", &empty));
    EXPECT_EQ(empty, "");
    EXPECT_EQ(FatAttributes(image, p.start, "boot").find('H'), std::string::npos);
  }

  void ExpectPhaseLog(const std::string& log) {
    EXPECT_EQ(MissingInOrder(log, kPhaseLines), "") << log;
    EXPECT_NE(log.find("> All done"), std::string::npos) << log;
    EXPECT_EQ(log.find("> Phase 1 Error"), std::string::npos);
  }

  TempDir dir_{"fkcli"};
  CliHome home_{dir_ / "home"};
};

}  // namespace fk::test
