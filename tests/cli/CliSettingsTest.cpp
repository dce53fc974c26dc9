// The CLI's options in the process that saves the settings: they reach the
// run, never the settings file.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "app/Settings.h"
#include "app/Ui.h"
#include "cli/Args.h"
#include "cli/CliUi.h"
#include "cli/Commands.h"
#include "disk/DiskList.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

TEST(CliSettings, FormatOptionsNeverReachTheSavedSettings) {
  if (!test::IsRoot() || !test::HaveProgram("mkfs.exfat")) GTEST_SKIP() << "exFAT on an image needs root and exfatprogs";
  test::TempDir dir("fkclisettings");
  const std::string ini = dir / "flashkeel.ini";
  const std::string disk = dir / "disk.img";
  ResetSettings();
  ASSERT_TRUE(SaveSetting(ini));  // FileSystem FAT32-LBA, VolumeLabel FKL
  LoadSetting(ini, dir / "log.txt");

  cli::ParseResult p = cli::ParseArgs({"format", "--image", disk, "--size", "64M", "--fs", "exFAT", "--label", "CLIRUN",
                                       "--align", "2048", "--one-partition", "--data-set", "none", "--yes"});
  ASSERT_TRUE(p.ok) << p.error;
  std::FILE* out = std::tmpfile();
  cli::CliUi::Options o;
  o.assumeYes = true;
  auto ui = std::make_shared<cli::CliUi>(o, out, nullptr);
  SetUi(ui);
  SetPauseFunction([](int) {});
  SetEnableFixedDisksSource([] { return true; });
  const int rc = cli::RunFormat(p.args, *ui);
  SetUi(nullptr);
  SetPauseFunction(nullptr);
  SetEnableFixedDisksSource(nullptr);
  ClearImageDisks();
  std::fclose(out);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(test::ReadFileBytes(disk).substr(2048 * 512 + 3, 8), "EXFAT   ") << "the run used the option";

  // The GUI's exit saves what it holds: the values from before the CLI run.
  EXPECT_EQ(SavedSettings().FileSystem, "FAT32-LBA");
  ASSERT_TRUE(SaveSetting(ini));
  const std::string text = test::ReadFileBytes(ini);
  EXPECT_NE(text.find("FileSystem = FAT32-LBA\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("CLIRUN"), std::string::npos);
  ResetSettings();
}

}  // namespace
}  // namespace fk
