// The Tools menu's DMG item wired to the core: the extraction runs as a runner
// operation with the designed dialogs and box.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "app/AppState.h"
#include "app/Runner.h"
#include "app/Ui.h"
#include "gui/CoreActions.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestUtil.h"

namespace fk::gui {
namespace {

TEST(DmgMenuWiring, ExtractionRunsAsAnOperationWithItsDialogs) {
  if (!test::HaveProgram("7zz")) GTEST_SKIP() << "7zz missing";
  test::TempDir dir("fkdmgmenu");
  auto ui = std::make_shared<ScriptedUi>();
  SetUi(ui);
  SetPauseFunction([](int) {});
  ui->QueueDialogAnswer(std::string(FK_FIXTURES_DIR) + "/apple-images/hfsplus_bzip2.dmg");
  ui->QueueDialogAnswer(dir.path());
  CoreRuntime runtime;
  GuiActions a = runtime.Actions();
  ASSERT_TRUE(a.startExtractHFSFromDMG);
  ASSERT_TRUE(a.startExtractHFSFromDMG());
  ASSERT_TRUE(GetRunner().JoinAll(60000));
  EXPECT_TRUE(GetRunner().LastResult(OpKind::DmgExtract).ok()) << GetRunner().LastResult(OpKind::DmgExtract).message;
  EXPECT_EQ(format_op_in_progress.load(), 0);
  ASSERT_EQ(ui->Dialogs().size(), 2u);
  EXPECT_EQ(ui->Dialogs()[0].title, "Select DMG-file for extraction");
  EXPECT_EQ(ui->Dialogs()[1].title, "Select path to save image file:");
  ASSERT_EQ(ui->Boxes().size(), 1u);
  EXPECT_EQ(ui->Boxes()[0].title, "Info");
  EXPECT_EQ(ui->Boxes()[0].text.rfind("HFS volume Extracted.", 0), 0u);
  EXPECT_EQ(test::ReadFileBytes(dir / "hfsplus_bzip2.hfs").substr(1024, 2), "H+");
  SetPauseFunction(nullptr);
  SetUi(nullptr);
}

}  // namespace
}  // namespace fk::gui
