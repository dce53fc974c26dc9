#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "cli/Args.h"
#include "cli/CliUi.h"
#include "tests/support/TestUtil.h"

namespace fk::cli {
namespace {

TEST(ParseSize, UnitsAndRejects) {
  EXPECT_EQ(ParseSize("4096"), 4096);
  EXPECT_EQ(ParseSize("256M"), 256LL << 20);
  EXPECT_EQ(ParseSize("2g"), 2LL << 30);
  EXPECT_EQ(ParseSize("512MiB"), 512LL << 20);
  EXPECT_EQ(ParseSize("1TB"), 1LL << 40);
  EXPECT_FALSE(ParseSize(""));
  EXPECT_FALSE(ParseSize("M"));
  EXPECT_FALSE(ParseSize("12X"));
  EXPECT_FALSE(ParseSize("-5M"));
  EXPECT_FALSE(ParseSize("99999999999999T"));  // would overflow
}

TEST(ParseArgs, FormatWithEveryOverride) {
  auto r = ParseArgs({"format", "--image", "x.img", "--size=256M", "--boot-records", "FreeDos", "--fs", "exFAT",
                      "--align", "2048", "--boot-size", "100", "--label", "CLOVER", "--full", "--data-set",
                      "local:/tmp/c.zip", "--yes"});
  ASSERT_TRUE(r.ok) << r.error;
  const Args& a = r.args;
  EXPECT_EQ(a.command, Command::Format);
  EXPECT_EQ(a.image, "x.img");
  EXPECT_EQ(a.imageSize, 256LL << 20);
  EXPECT_EQ(*a.bootRecords, "FreeDos");
  EXPECT_EQ(*a.fileSystem, "exFAT");
  EXPECT_EQ(*a.align, "2048");
  EXPECT_EQ(*a.bootSizeMb, 100);
  EXPECT_EQ(*a.label, "CLOVER");
  EXPECT_TRUE(a.full);
  EXPECT_EQ(*a.dataSet, "local:/tmp/c.zip");
  EXPECT_TRUE(a.yes);
}

TEST(ParseArgs, BadUsageIsRefusedWithAReason) {
  struct Case {
    std::vector<std::string> argv;
    const char* part;
  } cases[] = {
      {{"frobnicate"}, "unknown command"},
      {{"format"}, "exactly one of --disk or --image"},
      {{"format", "--disk", "1", "--image", "a"}, "exactly one of"},
      {{"format", "--disk", "1", "--fs", "ext4"}, "--fs takes"},
      {{"format", "--disk", "1", "--boot-size", "31"}, "32 to 2000000"},
      {{"format", "--disk", "1", "--label", "TWELVECHARSX"}, "11 characters"},
      {{"format", "--disk", "1", "--label", "a/b"}, "cannot hold"},
      {{"format", "--disk", "1", "--data-set", "http://x"}, "none, local:PATH, dl or dl:REVISION"},
      {{"format", "--disk", "1", "--data-set", "dl:"}, "dl or dl:REVISION"},
      {{"clover", "check", "--rev", "5"}, "unknown option for clover: --rev"},
      {{"format", "--disk", "1", "--one-partition", "--boot-size", "64"}, "exclude"},
      {{"format", "--disk", "1", "--size", "1G"}, "--size goes with --image"},
      {{"format", "--disk"}, "needs a value"},
      {{"list", "--yes"}, "unknown option"},
      {{"backup", "--image", "a", "--to", "b"}, "--partition"},
      {{"backup", "--image", "a", "--partition", "5", "--to", "b"}, "1 to 4"},
      {{"restore", "--image", "a", "--partition", "2"}, "--from FILE"},
      {{"hfs"}, "status, install or uninstall"},
      {{"hfs", "remove"}, "status, install or uninstall"},
      {{"hfs", "install", "--disk", "1"}, "unknown option"},
  };
  for (const auto& c : cases) {
    auto r = ParseArgs(c.argv);
    EXPECT_FALSE(r.ok) << c.argv[0];
    EXPECT_NE(r.error.find(c.part), std::string::npos) << r.error;
  }
}

TEST(ParseArgs, HelpNeedsNoTarget) {
  auto r = ParseArgs({"format", "--help"});
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.args.help);
  EXPECT_NE(HelpText(Command::Format).find("--data-set"), std::string::npos);
  EXPECT_EQ(ParseArgs({}).args.command, Command::Help);
  auto hfs = ParseArgs({"hfs", "install", "--yes"});
  ASSERT_TRUE(hfs.ok) << hfs.error;
  EXPECT_EQ(hfs.args.command, Command::Hfs);
  EXPECT_EQ(hfs.args.hfsAction, "install");
  EXPECT_TRUE(hfs.args.yes);
}

TEST(CliUi, ProgressLineKeepsWidthAndClamps) {
  std::string l = CliUi::FormatProgressLine("Extracted (3/60) files to /mnt", 150, 60);
  EXPECT_EQ(l.size(), 59u);
  EXPECT_NE(l.find("100% [####################]"), std::string::npos);
  std::string e = CliUi::FormatProgressLine(std::string(200, 'x'), -5, 60);
  EXPECT_EQ(e.size(), 59u);
  EXPECT_NE(e.find("...   0% [--------------------]"), std::string::npos);
}

// On a terminal a status that only counts on redraws its line, a status
// without progress shows no empty bar, and the drive list's prompts to pick a
// tree line are not shown.
TEST(CliUi, TerminalLineRedrawsCountingStatusAndShowsBarsOnlyForProgress) {
  test::TempDir dir;
  std::FILE* out = std::fopen((dir / "out").c_str(), "w+");
  CliUi::Options o;
  o.fancyProgress = true;
  o.width = 60;
  CliUi ui(o, out, nullptr);
  ui.DrawProgress("Select the USB Flash Drive, please", 0);
  for (int p = 1; p <= 3; ++p) ui.DrawProgress("Formatting: " + std::to_string(p) + " %", 0);
  ui.DrawProgress("Extracted (1/2) files to /mnt", 50);
  ui.DrawProgress("Extracted (2/2) files to /mnt", 100);
  ui.DrawProgress("All done", 0);
  ui.FinishLine();
  std::fclose(out);
  const std::string text = test::ReadFileBytes(dir / "out");
  EXPECT_EQ(text.find("Select the USB"), std::string::npos) << text;
  EXPECT_EQ(text.find("0% [--------------------]"), std::string::npos) << text;
  EXPECT_NE(text.find("100% [####################]"), std::string::npos) << text;
  // Three lines: the counting status, the extraction, "All done".
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_NE(text.find("\rFormatting: 3 %"), std::string::npos) << text;
}

TEST(CliUi, PlainOutputThrottlesCountingStatuses) {
  test::TempDir dir;
  std::FILE* out = std::fopen((dir / "out").c_str(), "w+");
  CliUi ui(CliUi::Options{}, out, nullptr);
  ui.DrawProgress("Formatting ...", 0);
  const int files = 70000;
  for (int i = 1; i <= files; ++i)
    ui.DrawProgress("Extracted (" + std::to_string(i) + "/" + std::to_string(files) + ") files to /mnt",
                    static_cast<int>(i * 100LL / files));
  for (int i = 1; i <= 5000; ++i) ui.DrawProgress("Copying file " + std::to_string(i), 0);
  ui.FinishLine();
  std::fclose(out);
  const std::string text = test::ReadFileBytes(dir / "out");
  const auto lines = std::count(text.begin(), text.end(), '\n');
  EXPECT_GE(lines, 100);
  EXPECT_LE(lines, 140) << text.substr(0, 2000);
  EXPECT_EQ(text.rfind("Formatting ...\n", 0), 0u);
  EXPECT_NE(text.find("Extracted (70000/70000) files to /mnt (100%)\n"), std::string::npos);
  // The last count of a task is shown, also when it was held back.
  EXPECT_NE(text.find("\nCopying file 5000\n"), std::string::npos) << text.substr(text.size() - 200);
}

TEST(CliUi, QuestionsAreRefusedWithoutATerminalAndAcceptedWithYes) {
  test::TempDir dir;
  std::FILE* out = std::fopen((dir / "out").c_str(), "w+");
  CliUi::Options o;
  CliUi refusing(o, out, nullptr);
  EXPECT_EQ(refusing.MessageBox("WARNING", "ALL DATA", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Cancel);
  EXPECT_EQ(refusing.MessageBox("Warning", "Overwrite?", MsgButtons::YesNo, MsgIcon::Question), MsgAnswer::No);
  o.assumeYes = true;
  CliUi accepting(o, out, nullptr);
  EXPECT_EQ(accepting.MessageBox("WARNING", "ALL DATA", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Ok);
  EXPECT_EQ(accepting.MessageBox("Warning", "Overwrite?", MsgButtons::YesNo, MsgIcon::Question), MsgAnswer::Yes);
  std::fclose(out);
  std::string text = test::ReadFileBytes(dir / "out");
  EXPECT_NE(text.find("== WARNING (warning) =="), std::string::npos);
  EXPECT_NE(text.find("use --yes"), std::string::npos);
}

TEST(CliUi, TerminalAnswerMustBeOk) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "in", "ok\nyes please\n");
  std::FILE* in = std::fopen((dir / "in").c_str(), "r");
  std::FILE* out = std::fopen((dir / "out").c_str(), "w");
  CliUi::Options o;
  o.interactive = true;
  CliUi ui(o, out, in);
  EXPECT_EQ(ui.MessageBox("WARNING", "x", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Ok);
  EXPECT_EQ(ui.MessageBox("WARNING", "x", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Cancel);
  EXPECT_EQ(ui.MessageBox("WARNING", "x", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Cancel);  // EOF
  std::fclose(in);
  std::fclose(out);
}

}  // namespace
}  // namespace fk::cli
