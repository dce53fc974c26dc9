#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/support/ScriptedUi.h"

namespace fk {
namespace {

TEST(ShowStatus, EmptyTextNeitherDrawsNorWaits) {
  ScriptedUi ui;
  int waited = 0;
  SetPauseFunction([&](int ms) { waited += ms; });
  ui.ShowStatus("", 2000);
  EXPECT_TRUE(ui.Progress().empty());
  EXPECT_EQ(waited, 0);
  ui.ShowStatus("Working", 300);
  ASSERT_EQ(ui.Progress().size(), 1u);
  EXPECT_EQ(ui.Progress()[0], (std::pair<std::string, int>{"Working", 0}));
  EXPECT_EQ(waited, 300);
  SetPauseFunction(nullptr);
}

// A UI that keeps every line (the CLI) still shows the status but skips the
// pauses that only let a person read it; other pauses stay.
TEST(ShowStatus, PausesToReadAreSkippedWhenTheUiKeepsEveryLine) {
  auto ui = std::make_shared<ScriptedUi>();
  SetUi(ui);
  std::vector<int> waits;
  SetPauseFunction([&](int ms) { waits.push_back(ms); });
  ui->ShowStatus("Shown", 2000);
  PauseToRead(1000);
  ui->SetPausesForReading(false);
  ui->ShowStatus("Also shown", 2000);
  PauseToRead(1000);
  PauseMs(500);
  EXPECT_EQ(waits, (std::vector<int>{2000, 1000, 500}));
  EXPECT_TRUE(ui->HasStatus("Also shown"));
  SetPauseFunction(nullptr);
  SetUi(nullptr);
}

TEST(ScriptedUi, AnswersInOrderAndMapsOkToYes) {
  ScriptedUi ui;
  ui.QueueAnswer(MsgAnswer::Cancel);
  ui.QueueAnswer(MsgAnswer::Ok);
  EXPECT_EQ(ui.MessageBox("WARNING", "q1", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Cancel);
  EXPECT_EQ(ui.MessageBox("Warning", "q2", MsgButtons::YesNo, MsgIcon::Question), MsgAnswer::Yes);
  // Plain notices do not use up scripted answers.
  ui.QueueAnswer(MsgAnswer::No);
  EXPECT_EQ(ui.MessageBox("Error", "n", MsgButtons::Ok, MsgIcon::Error), MsgAnswer::Ok);
  EXPECT_EQ(ui.MessageBox("Warning", "q3", MsgButtons::YesNo, MsgIcon::Question), MsgAnswer::No);
  ASSERT_EQ(ui.Boxes().size(), 4u);
  EXPECT_EQ(ui.Boxes()[0].title, "WARNING");
}

TEST(DialogPattern, SplitsNamePatternPairs) {
  auto p = SplitDialogPattern("Binary (*.bin)|*.bin|HFS/HFS+/Binary (*.hfs;*.bin)|*.hfs;*.bin");
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].first, "HFS/HFS+/Binary (*.hfs;*.bin)");
  EXPECT_EQ(p[1].second, "*.hfs;*.bin");
}

TEST(GetUi, SilentUiRefusesQuestionsUntilAFrontEndIsSet) {
  SetUi(nullptr);
  EXPECT_EQ(GetUi().MessageBox("WARNING", "x", MsgButtons::OkCancel, MsgIcon::Warning), MsgAnswer::Cancel);
  auto ui = std::make_shared<ScriptedUi>();
  SetUi(ui);
  GetUi().DrawProgress("x", 150);
  EXPECT_EQ(ui->Progress().back().second, 100);
  SetUi(nullptr);
}

}  // namespace
}  // namespace fk
