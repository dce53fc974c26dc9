// The operation runner with plain works: outcomes, the rules between
// operations, exit, the designed flags and the per-operation settings.
#include "app/Runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/AppState.h"
#include "app/Settings.h"
#include "disk/DiskOperations.h"
#include "format/CloverDataSet.h"
#include "format/FormatThread.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

using namespace std::chrono_literals;

// Runs until cancelled; counts how many such works run at once.
struct Waiter {
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  Runner::Work Work() {
    return [this](OpContext& op) {
      const int now = ++running;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      while (!op.Cancelled()) std::this_thread::sleep_for(2ms);
      --running;
      return OpResult::Cancelled();
    };
  }
};

bool WaitFor(const std::function<bool()>& cond) {
  for (int i = 0; i < 2500 && !cond(); ++i) std::this_thread::sleep_for(2ms);
  return cond();
}

TEST(Runner, EveryKindCanBeCancelledAndReportsCancelled) {
  Runner runner;
  Waiter w;
  for (int i = 0; i < kOpKindCount; ++i) {
    const OpKind kind = static_cast<OpKind>(i);
    SCOPED_TRACE(OpKindName(kind));
    ASSERT_EQ(runner.Start(kind, w.Work(), Settings{}), Runner::StartStatus::Started);
    ASSERT_TRUE(WaitFor([&] { return w.running.load() == 1; }));
    runner.Cancel(kind);
    ASSERT_TRUE(runner.JoinAll(5000));
    EXPECT_EQ(runner.LastResult(kind).outcome, OpOutcome::Cancelled);
    EXPECT_STREQ(OutcomeName(runner.LastResult(kind).outcome), "cancelled");
  }
}

TEST(Runner, FailuresCarryTheirMessage) {
  Runner runner;
  OpResult r = runner.RunHere(OpKind::Backup, [](OpContext&) { return OpResult::Failed("ReadFile Error=5"); },
                              Settings{});
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_EQ(r.message, "ReadFile Error=5");
  // A helper that only marked the run failed turns a plain return into a failure.
  r = runner.RunHere(OpKind::Format, [](OpContext&) {
    MarkCurrentOpFailed();
    EXPECT_EQ(FormatStatus.load(), 1);
    return OpResult::Done();
  }, Settings{});
  EXPECT_STREQ(OutcomeName(r.outcome), "failed");
  r = runner.RunHere(OpKind::Eject, [](OpContext&) -> OpResult { throw std::runtime_error("bad state"); }, Settings{});
  EXPECT_EQ(r.outcome, OpOutcome::Failed);
  EXPECT_NE(r.message.find("bad state"), std::string::npos);
}

TEST(Runner, OneLongOperationAndOneNetworkOperationAtATime) {
  Runner runner;
  Waiter w;
  ASSERT_EQ(runner.Start(OpKind::Format, w.Work(), Settings{}), Runner::StartStatus::Started);
  for (OpKind k : {OpKind::Backup, OpKind::Restore, OpKind::Eject, OpKind::RecoveryDownload})
    EXPECT_EQ(runner.Start(k, w.Work(), Settings{}), Runner::StartStatus::DiskBusy) << OpKindName(k);
  OpResult refused = runner.RunHere(OpKind::Restore, [](OpContext&) { return OpResult::Done(); }, Settings{});
  EXPECT_EQ(refused.outcome, OpOutcome::Failed);
  EXPECT_EQ(refused.message, Runner::RefusalText(Runner::StartStatus::DiskBusy));
  EXPECT_EQ(format_op_in_progress.load(), 0) << "the process-wide view belongs to GetRunner()";

  // Network operations: never two at once, also beside a long operation.
  ASSERT_EQ(runner.Start(OpKind::CloverCheck, w.Work(), Settings{}), Runner::StartStatus::Started);
  for (OpKind k : {OpKind::CloverDownload, OpKind::CatalogUpdate, OpKind::AdditionalListUpdate})
    EXPECT_EQ(runner.Start(k, w.Work(), Settings{}), Runner::StartStatus::NetBusy) << OpKindName(k);
  EXPECT_EQ(runner.Start(OpKind::CloverCheck, w.Work(), Settings{}), Runner::StartStatus::AlreadyRunning);
  // A local search uses neither.
  EXPECT_EQ(runner.Start(OpKind::LocalArchiveSearch, w.Work(), Settings{}), Runner::StartStatus::Started);
  ASSERT_TRUE(WaitFor([&] { return w.running.load() == 3; }));
  EXPECT_EQ(w.most.load(), 3);
  runner.CancelAll();
  ASSERT_TRUE(runner.JoinAll(5000));
  EXPECT_FALSE(runner.AnyRunning());
}

TEST(Runner, ExitCancelsJoinsAndRefusesNewStarts) {
  Runner runner;
  Waiter w;
  ASSERT_EQ(runner.Start(OpKind::Format, w.Work(), Settings{}), Runner::StartStatus::Started);
  ASSERT_EQ(runner.Start(OpKind::CatalogUpdate, w.Work(), Settings{}), Runner::StartStatus::Started);
  int pumps = 0;
  EXPECT_TRUE(runner.CancelAndJoinAll(5000, [&] { ++pumps; }));
  EXPECT_EQ(w.running.load(), 0);
  EXPECT_GE(pumps, 1);
  EXPECT_EQ(runner.LastResult(OpKind::Format).outcome, OpOutcome::Cancelled);
  EXPECT_EQ(runner.Start(OpKind::Eject, w.Work(), Settings{}), Runner::StartStatus::Exiting);
  runner.Reopen();
  EXPECT_TRUE(runner.RunHere(OpKind::Eject, [](OpContext&) { return OpResult::Done(); }, Settings{}).ok());
}

// The designed flags read the process's runner: busy until the end section,
// a cancel seen by the running operation, and nothing left once it ended.
TEST(Runner, DesignedFlagsFollowTheRunningOperation) {
  Runner& runner = GetRunner();
  std::atomic<int> step{0};
  std::atomic<bool> go{false};
  ASSERT_EQ(runner.Start(OpKind::Backup, [&](OpContext& op) {
    step = 1;
    while (!op.Cancelled()) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(CancelMainThread.load(), 1);
    EXPECT_EQ(FormatStatus.load(), 1) << "on the operation's own thread: its own stop";
    op.EnterEndSection();
    step = 2;
    while (!go) std::this_thread::sleep_for(2ms);
    return OpResult::Cancelled();
  }, Settings{}), Runner::StartStatus::Started);
  ASSERT_TRUE(WaitFor([&] { return step.load() == 1; }));
  EXPECT_EQ(format_op_in_progress.load(), 1);
  EXPECT_EQ(CancelMainThread.load(), 0);
  runner.CancelLongOperations();
  ASSERT_TRUE(WaitFor([&] { return step.load() == 2; }));
  EXPECT_EQ(format_op_in_progress.load(), 0) << "the end section frees the busy flag";
  EXPECT_TRUE(runner.LongOperationRunning()) << "but no other long operation starts yet";
  EXPECT_EQ(runner.Start(OpKind::Format, [](OpContext&) { return OpResult::Done(); }, Settings{}),
            Runner::StartStatus::DiskBusy);
  go = true;
  ASSERT_TRUE(runner.JoinAll(5000));
  EXPECT_EQ(CancelMainThread.load(), 0);
  EXPECT_EQ(FormatStatus.load(), 0);
}

// An operation sees its own copy of the settings; a change meant to persist
// reaches the saved settings only through the front end's applier.
TEST(Runner, SettingsCopyPerOperationAndChangesThroughTheApplier) {
  ResetSettings();
  SavedSettings().FileSystem = "FAT32-LBA";
  Settings snapshot = SavedSettings();
  snapshot.FileSystem = "exFAT";
  std::vector<std::function<void(Settings&)>> posted;
  Runner& runner = GetRunner();
  runner.SetSettingsApplier([&](std::function<void(Settings&)> change) { posted.push_back(std::move(change)); });
  OpResult r = runner.RunHere(OpKind::Format, [](OpContext& op) {
    EXPECT_EQ(Cfg().FileSystem, "exFAT");
    Cfg().VolumeLabel = "ONE RUN";
    op.ApplySettings([](Settings& s) { s.CloverLastRev = "5151"; });
    return OpResult::Done();
  }, snapshot);
  runner.SetSettingsApplier(nullptr);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(SavedSettings().FileSystem, "FAT32-LBA");
  EXPECT_EQ(SavedSettings().VolumeLabel, "FKL");
  EXPECT_EQ(SavedSettings().CloverLastRev, "0") << "applied only when the front end runs it";
  ASSERT_EQ(posted.size(), 1u);
  posted[0](SavedSettings());
  EXPECT_EQ(SavedSettings().CloverLastRev, "5151");
  ResetSettings();
}

// Eject and the search for local Clover archives, cancelled as they start:
// they report cancelled and change nothing; the search uses the run's copy
// of the settings.
TEST(Runner, EjectAndLocalSearchReportTheirCancel) {
  test::TempDir repo("fkrepo");
  test::WriteFileBytes(repo / "Clover-5151-X64.iso.7z", "7z\xBC\xAF\x27\x1C");
  Settings snapshot;
  snapshot.CloverLocalRepository = repo.path();
  auto cancelled = [](Runner::Work work) {
    return [work](OpContext& op) {
      test::CancelThisOperation();
      return work(op);
    };
  };
  CloverLocalDistr.clear();
  EXPECT_EQ(GetRunner().RunHere(OpKind::LocalArchiveSearch, cancelled(LocalArchiveSearchOperation), snapshot).outcome,
            OpOutcome::Cancelled);
  EXPECT_TRUE(CloverLocalDistr.empty());
  EXPECT_TRUE(GetRunner().RunHere(OpKind::LocalArchiveSearch, LocalArchiveSearchOperation, snapshot).ok());
  ASSERT_EQ(CloverLocalDistr.size(), 1u);
  EXPECT_EQ(CloverLocalDistr[0].Rev, 5151);
  CloverLocalDistr.clear();
  CloverLocalSelectedName.clear();
  CloverLocalSelectedRev.clear();

  EXPECT_EQ(GetRunner().RunHere(OpKind::Eject, cancelled(EjectOperation), Settings{}).outcome, OpOutcome::Cancelled);
}

}  // namespace
}  // namespace fk
