// The operation runner: every long operation (format, backup, restore, eject,
// downloads, catalog updates, extraction, driver installation) runs through it.
//
// The runner starts the operation's worker, owns its cancel token and its state
// (idle, running, ending), joins it, and hands the front ends a typed result.
// It enforces the rules that hold between operations in one place:
//   - one disk-writing operation at a time (a second is refused: DiskBusy);
//   - network operations never overlap on the one transfer record (NetBusy);
//   - exit cancels and joins whatever runs (CancelAndJoinAll).
//
// Each operation gets its own copy of the settings, taken when it starts. Code
// on the operation's thread that calls Cfg() sees that copy, so a front end's
// one-run options never reach the settings the GUI saves. A change that must
// outlive the operation goes back through OpContext::ApplySettings, which the
// front end applies on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "app/Settings.h"

namespace fk {

class Ui;
class WorkDir;

enum class OpKind {
  Format,
  Backup,
  Restore,
  Eject,
  CloverCheck,
  CloverDownload,
  LocalArchiveSearch,
  CatalogUpdate,
  RecoveryDownload,
  DmgExtract,
  AdditionalListUpdate,
  AdditionalDownload,
  HfsDriverInstall,
};
inline constexpr int kOpKindCount = static_cast<int>(OpKind::HfsDriverInstall) + 1;

// "Format", "Backup", ... (log lines, thread names).
const char* OpKindName(OpKind kind);
// Long operations: they turn Format/Backup/Restore into cancel buttons, disable
// the drive tree and exclude each other (format_op_in_progress).
bool IsLongOperation(OpKind kind);
// Operations that use the network transfer record (flgNetThreadRunning).
bool UsesNetwork(OpKind kind);

enum class OpState { Idle, Running, Ending };
enum class OpOutcome { Done, Cancelled, Failed };

struct OpResult {
  OpOutcome outcome = OpOutcome::Done;
  std::string message;  // the failure's (or cancel's) text for the user; may be empty

  static OpResult Done(std::string message = {}) { return {OpOutcome::Done, std::move(message)}; }
  static OpResult Cancelled(std::string message = {}) { return {OpOutcome::Cancelled, std::move(message)}; }
  static OpResult Failed(std::string message) { return {OpOutcome::Failed, std::move(message)}; }
  bool ok() const { return outcome == OpOutcome::Done; }
};

// "done", "cancelled", "failed"
const char* OutcomeName(OpOutcome outcome);

// What a worker sees of its operation.
class OpContext {
 public:
  OpKind kind() const { return kind_; }
  std::stop_token stop_token() const { return stop_; }
  // The user (or exit) asked to cancel this operation.
  bool Cancelled() const { return stop_.stop_requested(); }
  // This operation's own copy of the settings.
  Settings& settings() { return settings_; }
  // Marks the run as failed without ending it yet (the designed "FormatStatus"
  // of deep helpers); Failed() tells whether it was marked.
  void MarkFailed() { failed_ = true; }
  bool Failed() const { return failed_; }
  // Cancelled or marked failed: the run goes to its end section.
  bool Stopped() const { return Cancelled() || Failed(); }
  // The run has reached its end section (an end that rebuilds the drive list
  // and pauses): front ends give their controls back and the busy flag
  // (format_op_in_progress) reads 0, while the runner still refuses another
  // long operation until this one has returned. Optional.
  void EnterEndSection() const {
    if (onEndSection_) onEndSection_();
  }
  // Hands a change of the saved settings (a checked Clover revision, the file
  // system a FreeDos run forces) to the front end, which applies it to the
  // settings it saves, on its own thread. Without a front end that keeps
  // settings (the CLI, tests) the change is dropped after being logged.
  void ApplySettings(std::function<void(Settings&)> change) const;
  // This operation's work directory, made on the first call (see WorkDir for
  // the arguments) and removed when the operation ends; nullptr when it
  // cannot be made (the reason is logged).
  const WorkDir* Work(int64_t bytesNeeded = 0, const std::string& fallbackParent = "");
  const WorkDir* CurrentWork() const { return work_.get(); }
  void ReleaseWork() { work_.reset(); }

  OpContext(OpKind kind, std::stop_token stop, Settings settings)
      : kind_(kind), stop_(std::move(stop)), settings_(std::move(settings)) {}

 private:
  friend class Runner;
  OpKind kind_;
  std::stop_token stop_;
  Settings settings_;
  std::atomic<bool> failed_{false};
  std::function<void()> onEndSection_;
  std::shared_ptr<WorkDir> work_;
};

// The operation running on the calling thread (nullptr outside a worker or a
// RunHere call). Deep helpers use it to see a cancel.
OpContext* CurrentOp();
// CurrentOp() && CurrentOp()->Cancelled().
bool CancelRequested();
// CurrentOp() && CurrentOp()->Stopped(): deep helpers of an operation stop
// their loops on it.
bool CurrentOpStopped();
// Marks the calling thread's operation as failed (logged when there is none).
void MarkCurrentOpFailed();

class Runner {
 public:
  using Work = std::function<OpResult(OpContext&)>;
  // Called on the worker's (or runner's caller's) thread whenever an
  // operation's state changes; result is set only with Idle (the end). A GUI
  // posts this to its own thread.
  using Observer = std::function<void(OpKind kind, OpState state, const OpResult* result)>;
  // Applies a settings change handed back by an operation (see
  // OpContext::ApplySettings); a GUI posts it to its own thread.
  using SettingsApplier = std::function<void(std::function<void(Settings&)> change)>;

  enum class StartStatus { Started, DiskBusy, NetBusy, AlreadyRunning, Exiting, NoThread };

  Runner();
  ~Runner();  // cancels and joins what still runs
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Starts work on its own thread with the given settings copy. A long
  // operation is refused while another long operation runs, a network one
  // while another network one runs, and any kind while the same kind runs.
  StartStatus Start(OpKind kind, Work work, Settings snapshot);
  // Runs work on the calling thread under the same rules (the CLI's way).
  // A refused start returns Failed with the refusal's text.
  OpResult RunHere(OpKind kind, Work work, Settings snapshot);

  // Requests a cancel of one kind, of the running long operation, or of every
  // running operation.
  void Cancel(OpKind kind);
  void CancelLongOperations();
  void CancelAll();
  // Waits for every worker to end, up to timeoutMs (-1: no limit); calls
  // pump() about every 20 ms meanwhile (a GUI answers the workers' calls from
  // there). True when nothing runs any more.
  bool JoinAll(int timeoutMs = -1, const std::function<void()>& pump = {});
  // Exit: refuses new starts, cancels and joins everything.
  bool CancelAndJoinAll(int timeoutMs = -1, const std::function<void()>& pump = {});
  // Allows starts again after CancelAndJoinAll (tests, a new front end).
  void Reopen();

  OpState State(OpKind kind) const;
  bool Running(OpKind kind) const { return State(kind) != OpState::Idle; }
  bool LongOperationRunning() const;
  // A long operation runs and has not reached its end section (the designed
  // format_op_in_progress).
  bool LongOperationBusy() const;
  // An operation that runs (not in its end section) has been asked to cancel
  // (CancelMainThread); of the format only, or marked failed (FormatStatus).
  bool CancelPending() const;
  bool FormatStopped() const;
  bool NetworkRunning() const;
  bool AnyRunning() const;
  // The result of the last finished operation of that kind (Done when none ran).
  OpResult LastResult(OpKind kind) const;

  void SetObserver(Observer observer);
  void SetSettingsApplier(SettingsApplier applier);
  void ApplySettings(std::function<void(Settings&)> change);

  // The designed refusal texts.
  static std::string RefusalText(StartStatus status);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The process's runner.
Runner& GetRunner();

}  // namespace fk
