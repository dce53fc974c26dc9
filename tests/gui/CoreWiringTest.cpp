// The GUI wired to the core: start-up and exit of the real program (settings,
// AutoRun policy, window position), a format started from the Format button on
// an image disk, and device changes reaching the main loop.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Registry.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "gui/CoreActions.h"
#include "gui/GuiApp.h"
#include "gui/MainWindow.h"
#include "disk/DiskList.h"
#include "platform/LoopDevice.h"
#include "tests/support/TestUtil.h"

namespace fk::gui {
namespace {

using test::ReadFileBytes;
using test::TempDir;

constexpr const char* kAutoRun = "NoDriveTypeAutoRun";

// Pumps the GUI thread's events until done() or the limit.
bool PumpUntil(const std::function<bool()>& done, int limitMs) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > limitMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Writes the settings file of dir with the given changes to the defaults.
void WriteSettings(const std::string& file, const std::function<void(Settings&)>& change) {
  ResetSettings();
  change(Cfg());
  ASSERT_TRUE(SaveSetting(file));
  ResetSettings();
}

// --- the real program in its own process ---

TEST(ProgramRunTest, AutoRunIs255WhileRunningAndRestoredAfterExitWithSettingsKept) {
  TempDir home("fkprog");
  const std::string registry = home / "registry.ini";
  SetRegistryFile(registry);
  ASSERT_EQ(Reg_CreateValue(KeyExplorerPolicies, kAutoRun, "145", REG_DWORD), 1);
  WriteSettings(home / "flashkeel.ini", [](Settings& s) {
    s.WinX = 123;
    s.WinY = 77;
    s.LogEnable = 1;
    s.VolumeLabel = "KEEPME";
  });

  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "FLASHKEEL_HOME=" + home.path(),
                                  "XDG_RUNTIME_DIR=" + home.path(), "HOME=" + home.path(), "PATH=/usr/bin:/bin"};
  std::vector<std::string> argv = {FK_GUI_PROGRAM};
  std::vector<char*> av, ev;
  for (auto& s : argv) av.push_back(s.data());
  av.push_back(nullptr);
  for (auto& s : env) ev.push_back(s.data());
  ev.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, (home / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, (home / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data()), 0);
  posix_spawn_file_actions_destroy(&fa);
  struct Reaper {
    pid_t& pid;
    ~Reaper() {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
  } reaper{pid};

  const std::string log = home / "FKLDebug.log";
  auto logHas = [&](const std::string& line) { return ReadFileBytes(log).find(line) != std::string::npos; };
  bool started = false;
  for (int i = 0; i < 600 && !started; ++i) {
    started = logHas("SetFormatPromptHook");
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(started) << "the program did not finish its start-up: " << ReadFileBytes(home / "err.txt");
  EXPECT_EQ(Reg_GetValue(KeyExplorerPolicies, kAutoRun), "255") << "AutoRun off while the program runs";
  EXPECT_TRUE(logHas("> OrigNoDriveTypeAutoRun$=145\r\n"));
  EXPECT_TRUE(logHas("> Set OrigNoDriveTypeAutoRun$ to 255\r\n"));

  // A termination request ends the program through its exit sequence.
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 600 && !ended; ++i) {
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(ended) << "the program did not end on SIGTERM";
  pid = -1;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Reg_GetValue(KeyExplorerPolicies, kAutoRun), "145");
  EXPECT_TRUE(logHas("> Set NoDriveTypeAutoRun$ to OrigNoDriveTypeAutoRun$=145\r\n"));
  EXPECT_TRUE(logHas("> NoDriveTypeAutoRun$=145\r\n"));

  // The settings went in and came back out: the window stood where they said.
  const std::string ini = ReadFileBytes(home / "flashkeel.ini");
  EXPECT_NE(ini.find("WinX = 123\r\n"), std::string::npos);
  EXPECT_NE(ini.find("WinY = 77\r\n"), std::string::npos);
  EXPECT_NE(ini.find("KEEPME"), std::string::npos);
  // The user download list was missing: the exit wrote the (inactive) example.
  EXPECT_EQ(ReadFileBytes(home / "UserDL.ini").rfind("\xEF\xBB\xBF\r\n; ; This is Example of UserDL.ini", 0), 0u);
  SetRegistryFile("");
}

// --- the wiring inside this process ---

class CoreWiringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRuntime_ = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    ::setenv("FLASHKEEL_HOME", home_.path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home_.path().c_str(), 1);
    InitProgramPaths(home_ / "fk_wiring_test");
    SetRegistryFile(home_ / "registry.ini");
    ResetSharedFlags();
    SetPauseFunction([](int) {});
    SetLogMirror(true);
    TakeLogMirror();
  }
  void TearDown() override {
    app_.reset();
    runtime_.reset();
    SetUi(nullptr);
    SetLogMirror(false);
    SetPauseFunction(nullptr);
    SetRegistryFile("");
    ClearImageDisks();
    SetEnableFixedDisksSource(nullptr);
    ResetSettings();
    ResetSharedFlags();
    ::unsetenv("FLASHKEEL_HOME");
    if (savedRuntime_.empty())
      ::unsetenv("XDG_RUNTIME_DIR");
    else
      ::setenv("XDG_RUNTIME_DIR", savedRuntime_.c_str(), 1);
  }

  // Starts the GUI over the real core with an image disk listed; every
  // question is answered with OK or Yes.
  MainWindow* Start(const std::string& image) {
    CoreRuntime::Options o;
    o.imageDisks = {image};
    runtime_ = std::make_unique<CoreRuntime>(o);
    actions_ = runtime_->Actions();
    actions_.installErrorHandler = nullptr;
    actions_.messageBox = [this](const std::string& title, const std::string& text, MsgButtons b, MsgIcon) {
      questions_ += title + ": " + text + "\n";
      return (b == MsgButtons::YesNo || b == MsgButtons::YesNoCancel) ? MsgAnswer::Yes : MsgAnswer::Ok;
    };
    auto update = actions_.updateAllDrives;
    actions_.updateAllDrives = [this, update] {
      ++updates_;
      update();
    };
    app_ = std::make_unique<GuiApp>(actions_);
    if (app_->Start() != GuiApp::StartResult::Running) return nullptr;
    return app_->Window();
  }

  int ImageLine(const std::string& image) {
    for (const DiskRecord& d : AllDrives)
      if (d.DevicePath == image) return d.ListIndex;
    return -1;
  }

  TempDir home_{"fkwire"};
  std::string savedRuntime_;
  std::unique_ptr<CoreRuntime> runtime_;
  GuiActions actions_;
  std::unique_ptr<GuiApp> app_;
  std::string questions_;
  std::atomic<int> updates_{0};
};

TEST_F(CoreWiringTest, FormatButtonFormatsTheImageOnAWorkerAndExitStoresThePosition) {
  if (!test::HaveProgram("mkfs.fat")) GTEST_SKIP() << "dosfstools missing";
  const std::string image = home_ / "stick.img";
  test::MakeSparseFile(image, 64 << 20);
  WriteSettings(SettingsFilePath(), [](Settings& s) {
    s.EnableFixedDisks = 1;
    s.Boot_records = "Clover";
    s.InstallDataSet = "Not_Install";
    s.FileSystem = "FAT32-LBA";
    s.MultiPartitions = 0;
    s.VolumeLabel = "WIRED";
    s.WinX = 150;
    s.WinY = 90;
  });

  MainWindow* w = Start(image);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->pos(), QPoint(150, 90)) << "the window opens where the settings say";
  EXPECT_EQ(Reg_GetValue(KeyExplorerPolicies, kAutoRun), "255");
  const int line = ImageLine(image);
  ASSERT_GE(line, 0) << "the image disk is listed with fixed disks enabled";
  w->SelectTreeLine(line);

  w->findChild<QPushButton*>("Button_Format")->click();
  EXPECT_EQ(format_op_in_progress.load(), 1) << "busy from the press on";
  ASSERT_TRUE(PumpUntil([&] { return !runtime_->WorkersRunning(); }, 180000)) << "the format did not end";
  EXPECT_EQ(format_op_in_progress.load(), 0);
  PumpUntil([] { return false; }, 100);  // the worker's last queued calls
  EXPECT_TRUE(w->findChild<QTreeWidget*>("Tree_DestinationDisk")->isEnabled()) << "tree enabled again";
  EXPECT_TRUE(LogMirrorContains("> All done")) << questions_;
  EXPECT_NE(questions_.find("Target Drive is Not USB Disk"), std::string::npos)
      << "the worker's question reached the GUI thread's message box";

  // The image now carries an MBR and a FAT32 boot partition labelled as set.
  const std::string mbr = ReadFileBytes(image).substr(0, 512);
  ASSERT_EQ(mbr.size(), 512u);
  EXPECT_EQ(static_cast<unsigned char>(mbr[510]), 0x55);
  EXPECT_EQ(static_cast<unsigned char>(mbr[511]), 0xAA);
  const int listed = ImageLine(image);
  ASSERT_GE(listed, 0);
  EXPECT_NE(w->findChild<QTreeWidget*>("Tree_DestinationDisk")->findItems(
                 QStringLiteral("WIRED"), Qt::MatchContains | Qt::MatchRecursive).size(),
            0)
      << "the rebuilt tree shows the new volume";

  // Exit: the moved window's position is saved, the AutoRun value (absent
  // before) is removed again.
  w->move(210, 130);
  ExitRequested = 1;
  app_->Run();
  EXPECT_EQ(Cfg().WinX, 210);
  EXPECT_EQ(Cfg().WinY, 130);
  const std::string ini = ReadFileBytes(SettingsFilePath());
  EXPECT_NE(ini.find("WinX = 210\r\n"), std::string::npos);
  EXPECT_NE(ini.find("WinY = 130\r\n"), std::string::npos);
  EXPECT_EQ(Reg_ValueExists(KeyExplorerPolicies, kAutoRun), 0);
}

// Format, backup and restore rebuild the drive list as their last step; a
// refresh or device change on the GUI thread meanwhile must not rebuild the
// list at the same time.
TEST_F(CoreWiringTest, DriveListUpdateWaitsWhileAnOperationIsEnding) {
  const std::string image = home_ / "wait.img";
  test::MakeSparseFile(image, 8 << 20);
  WriteSettings(SettingsFilePath(), [](Settings&) {});
  ASSERT_NE(Start(image), nullptr);

  std::atomic<bool> release{false};
  ASSERT_TRUE(runtime_->StartOperation(OpKind::Backup, [&](OpContext&) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return OpResult::Done();
  }));
  TakeLogMirror();
  actions_.updateAllDrives();
  actions_.updateAllDrives();
  PumpUntil([] { return false; }, 300);
  EXPECT_FALSE(LogMirrorContains("UpdateAllDrives found")) << "the list was rebuilt beside the worker";
  int waits = 0;
  for (const std::string& line : TakeLogMirror())
    waits += line.find("waits for the running operation") != std::string::npos;
  EXPECT_EQ(waits, 1) << "one waiting update, however often asked";

  release = true;
  EXPECT_TRUE(PumpUntil([] { return LogMirrorContains("UpdateAllDrives found"); }, 5000))
      << "the update runs once the worker has ended";
  ExitRequested = 1;
  app_->Run();
}

// While an operation runs (also in its end section, which rebuilds AllDrives)
// no second long operation starts, and Eject (which looks the selected disk
// up in AllDrives) does nothing.
TEST_F(CoreWiringTest, NoSecondOperationOrEjectWhileOneRuns) {
  const std::string image = home_ / "next.img";
  test::MakeSparseFile(image, 8 << 20);
  WriteSettings(SettingsFilePath(), [](Settings& s) { s.EnableFixedDisks = 1; });
  MainWindow* w = Start(image);
  ASSERT_NE(w, nullptr);
  const int line = ImageLine(image);
  ASSERT_GE(line, 0);
  w->SelectTreeLine(line);

  std::atomic<bool> release{false};
  std::atomic<bool> secondRan{false};
  ASSERT_TRUE(runtime_->StartOperation(OpKind::Backup, [&](OpContext& op) {
    op.EnterEndSection();
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return OpResult::Done();
  }));
  EXPECT_FALSE(runtime_->StartOperation(OpKind::Restore, [&](OpContext&) {
    secondRan = true;
    return OpResult::Done();
  }));
  TakeLogMirror();
  w->findChild<QPushButton*>("Button_Eject")->click();
  PumpUntil([] { return false; }, 200);
  EXPECT_FALSE(LogMirrorContains("EjectDrive:")) << "Eject read the drive list beside the operation";

  release = true;
  EXPECT_TRUE(PumpUntil([&] { return !runtime_->WorkersRunning(); }, 5000));
  EXPECT_FALSE(secondRan.load());
  ExitRequested = 1;
  app_->Run();
}

// A device change during a format is handled once the worker has ended, and
// the worker's last step selects the formatted disk's line again: the waiting
// update must not move the selection back to the first line.
TEST_F(CoreWiringTest, WaitingUpdateKeepsTheLineTheEndingOperationSelected) {
  const std::string a = home_ / "a.img";
  const std::string b = home_ / "b.img";
  test::MakeSparseFile(a, 8 << 20);
  test::MakeSparseFile(b, 8 << 20);
  WriteSettings(SettingsFilePath(), [](Settings& s) { s.EnableFixedDisks = 1; });
  MainWindow* w = Start(a);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(AddImageDisk(b));
  actions_.updateAllDrives();
  const int line = ImageLine(b);
  ASSERT_GT(line, 0) << "the second image is listed after another line";

  std::atomic<bool> release{false};
  ASSERT_TRUE(runtime_->StartOperation(OpKind::Format, [&](OpContext&) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    UpdateAllDrives();
    GetUi().SelectTreeLine(line);
    return OpResult::Done();
  }));
  TakeLogMirror();
  actions_.updateAllDrives();  // the device change, while the worker runs
  release = true;
  ASSERT_TRUE(PumpUntil([&] { return !runtime_->WorkersRunning(); }, 5000));
  PumpUntil([] { return false; }, 400);  // the waiting update's turn
  int rebuilds = 0;
  for (const std::string& l : TakeLogMirror()) rebuilds += l.find("UpdateAllDrives found") != std::string::npos;
  EXPECT_EQ(rebuilds, 2) << "the worker's rebuild and the waiting one";
  EXPECT_EQ(w->SelectedTreeLine(), line);
  ExitRequested = 1;
  app_->Run();
}

TEST_F(CoreWiringTest, KernelDeviceChangeReachesTheMainLoop) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root for a loop device";
  const std::string image = home_ / "plug.img";
  test::MakeSparseFile(image, 8 << 20);
  WriteSettings(SettingsFilePath(), [](Settings&) {});
  MainWindow* w = Start(image);
  ASSERT_NE(w, nullptr);
  const int before = updates_.load();

  std::string err;
  auto loop = LoopDevice::Attach(image, {}, &err);
  ASSERT_TRUE(loop) << err;
  EXPECT_TRUE(PumpUntil([&] { return updates_.load() > before; }, 20000))
      << "no UM_UPDATE_ALL_DRIVES after a loop device appeared";
  EXPECT_TRUE(LogMirrorContains("GetDeviceEvent"));
  loop.reset();

  ExitRequested = 1;
  app_->Run();
  EXPECT_FALSE(runtime_->WorkersRunning());
}

}  // namespace
}  // namespace fk::gui
