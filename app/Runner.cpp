#include "app/Runner.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <typeinfo>

#include "app/AppState.h"
#include "app/ErrorHandler.h"
#include "app/Log.h"

namespace fk {

namespace {

thread_local OpContext* tCurrentOp = nullptr;

struct CurrentOpScope {
  OpContext* previous;
  explicit CurrentOpScope(OpContext* op) : previous(tCurrentOp) { tCurrentOp = op; }
  ~CurrentOpScope() { tCurrentOp = previous; }
  CurrentOpScope(const CurrentOpScope&) = delete;
  CurrentOpScope& operator=(const CurrentOpScope&) = delete;
};

}  // namespace

const char* OpKindName(OpKind kind) {
  switch (kind) {
    case OpKind::Format: return "Format";
    case OpKind::Backup: return "Backup";
    case OpKind::Restore: return "Restore";
    case OpKind::Eject: return "Eject";
    case OpKind::CloverCheck: return "CloverCheck";
    case OpKind::CloverDownload: return "CloverDownload";
    case OpKind::LocalArchiveSearch: return "LocalArchiveSearch";
    case OpKind::CatalogUpdate: return "CatalogUpdate";
    case OpKind::RecoveryDownload: return "RecoveryDownload";
    case OpKind::DmgExtract: return "DmgExtract";
    case OpKind::AdditionalListUpdate: return "AdditionalListUpdate";
    case OpKind::AdditionalDownload: return "AdditionalDownload";
    case OpKind::HfsDriverInstall: return "HfsDriverInstall";
  }
  return "?";
}

bool IsLongOperation(OpKind kind) {
  switch (kind) {
    case OpKind::Format:
    case OpKind::Backup:
    case OpKind::Restore:
    case OpKind::Eject:
    case OpKind::RecoveryDownload:
    case OpKind::DmgExtract:
    case OpKind::AdditionalDownload:
      return true;
    default:
      return false;
  }
}

bool UsesNetwork(OpKind kind) {
  switch (kind) {
    case OpKind::CloverCheck:
    case OpKind::CloverDownload:
    case OpKind::CatalogUpdate:
    case OpKind::RecoveryDownload:
    case OpKind::AdditionalListUpdate:
    case OpKind::AdditionalDownload:
      return true;
    default:
      return false;
  }
}

const char* OutcomeName(OpOutcome outcome) {
  switch (outcome) {
    case OpOutcome::Done: return "done";
    case OpOutcome::Cancelled: return "cancelled";
    case OpOutcome::Failed: return "failed";
  }
  return "?";
}

OpContext* CurrentOp() { return tCurrentOp; }

bool CancelRequested() { return tCurrentOp != nullptr && tCurrentOp->Cancelled(); }

bool CurrentOpStopped() { return tCurrentOp != nullptr && tCurrentOp->Stopped(); }

void MarkCurrentOpFailed() {
  if (tCurrentOp)
    tCurrentOp->MarkFailed();
  else
    Log("> A failure outside of any operation");
}

struct Runner::Impl {
  struct Slot {
    OpState state = OpState::Idle;
    bool endSection = false;  // reached its end section (see OpContext::EnterEndSection)
    std::stop_source stop;
    std::thread thread;
    std::shared_ptr<OpContext> ctx;  // of the running operation
    OpResult last;
  };

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::array<Slot, kOpKindCount> slots;
  bool exiting = false;
  Observer observer;
  SettingsApplier applier;

  Slot& slot(OpKind k) { return slots[static_cast<size_t>(k)]; }
  const Slot& slot(OpKind k) const { return slots[static_cast<size_t>(k)]; }

  bool AnyLocked(bool (*pred)(OpKind)) const {
    for (int i = 0; i < kOpKindCount; ++i)
      if (slots[i].state != OpState::Idle && pred(static_cast<OpKind>(i))) return true;
    return false;
  }

  // Installs a new operation's context in its slot (locked).
  std::shared_ptr<OpContext> BeginLocked(OpKind kind, Settings snapshot) {
    Slot& s = slot(kind);
    s.stop = std::stop_source();
    s.state = OpState::Running;
    s.endSection = false;
    s.ctx = std::make_shared<OpContext>(kind, s.stop.get_token(), std::move(snapshot));
    s.ctx->onEndSection_ = [this, kind] {
      {
        std::lock_guard l(mutex);
        slot(kind).endSection = true;
      }
      Notify(kind, OpState::Ending, nullptr);
    };
    return s.ctx;
  }

  // The work has returned: Ending until Finish.
  void WorkReturned(OpKind kind) {
    bool notify = false;
    {
      std::lock_guard l(mutex);
      Slot& s = slot(kind);
      s.state = OpState::Ending;
      notify = !s.endSection;
      s.endSection = true;
    }
    if (notify) Notify(kind, OpState::Ending, nullptr);
  }

  StartStatus CheckLocked(OpKind kind) const {
    if (exiting) return StartStatus::Exiting;
    if (slot(kind).state != OpState::Idle) return StartStatus::AlreadyRunning;
    if (IsLongOperation(kind) && AnyLocked(IsLongOperation)) return StartStatus::DiskBusy;
    if (UsesNetwork(kind) && AnyLocked(UsesNetwork)) return StartStatus::NetBusy;
    return StartStatus::Started;
  }

  void Notify(OpKind kind, OpState state, const OpResult* result) {
    Observer obs;
    {
      std::lock_guard lock(mutex);
      obs = observer;
    }
    if (obs) obs(kind, state, result);
  }

  // Runs work with the operation's context installed; exceptions become a
  // failure of the operation.
  static OpResult Execute(OpContext& ctx, const Work& work) {
    CurrentOpScope scope(&ctx);
    SettingsScope settingsScope(&ctx.settings());
    // The operation's work directory goes when its work ends, before it is reported as ended.
    struct WorkRelease {
      OpContext& c;
      ~WorkRelease() { c.ReleaseWork(); }
    } release{ctx};
    try {
      OpResult r = work(ctx);
      if (r.outcome == OpOutcome::Done && ctx.Failed()) r.outcome = OpOutcome::Failed;
      return r;
    } catch (const std::exception& e) {
      Log(std::string("> ") + OpKindName(ctx.kind()) + ": unexpected error " + typeid(e).name() + ": " + e.what());
      return OpResult::Failed(std::string("Unexpected error: ") + e.what());
    } catch (...) {
      Log(std::string("> ") + OpKindName(ctx.kind()) + ": unexpected error of unknown type");
      return OpResult::Failed("Unexpected error");
    }
  }

  void Finish(OpKind kind, OpResult result) {
    Log(std::string("> ") + OpKindName(kind) + " ended: " + OutcomeName(result.outcome) +
        (result.message.empty() ? "" : " (" + result.message + ")"));
    {
      std::lock_guard lock(mutex);
      Slot& s = slot(kind);
      s.state = OpState::Idle;
      s.endSection = false;
      s.last = result;
      if (s.ctx) s.ctx->onEndSection_ = nullptr;
      s.ctx.reset();
    }
    changed.notify_all();
    Notify(kind, OpState::Idle, &result);
  }
};

Runner::Runner() : impl_(std::make_unique<Impl>()) {}

Runner::~Runner() { CancelAndJoinAll(); }

std::string Runner::RefusalText(StartStatus status) {
  switch (status) {
    case StartStatus::Started: return {};
    case StartStatus::DiskBusy: return "Another operation is running. Wait for it to end or cancel it.";
    case StartStatus::NetBusy: return "Sorry, another download is running. Wait for it to end.";
    case StartStatus::AlreadyRunning: return "This operation is already running.";
    case StartStatus::Exiting: return "The program is closing.";
    case StartStatus::NoThread: return "Can't start a worker thread.";
  }
  return {};
}

Runner::StartStatus Runner::Start(OpKind kind, Work work, Settings snapshot) {
  std::thread finished;
  std::unique_lock lock(impl_->mutex);
  StartStatus st = impl_->CheckLocked(kind);
  if (st != StartStatus::Started) {
    Log(std::string("> ") + OpKindName(kind) + " not started: " + RefusalText(st));
    return st;
  }
  Impl::Slot& s = impl_->slot(kind);
  if (s.thread.joinable()) finished = std::move(s.thread);  // ended; joined below, outside the lock
  auto ctx = impl_->BeginLocked(kind, std::move(snapshot));
  try {
    s.thread = std::thread([this, kind, ctx, work = std::move(work)] {
      ThreadErrorStack stack;
      OpResult r = Impl::Execute(*ctx, work);
      impl_->WorkReturned(kind);
      impl_->Finish(kind, std::move(r));
    });
  } catch (const std::system_error& e) {
    s.state = OpState::Idle;
    s.ctx.reset();
    lock.unlock();
    Log(std::string("> Error: cannot start the thread ") + OpKindName(kind) + ": " + e.what());
    if (finished.joinable()) finished.join();
    return StartStatus::NoThread;
  }
  lock.unlock();
  if (finished.joinable()) finished.join();
  impl_->Notify(kind, OpState::Running, nullptr);
  return StartStatus::Started;
}

OpResult Runner::RunHere(OpKind kind, Work work, Settings snapshot) {
  std::shared_ptr<OpContext> ctx;
  {
    std::lock_guard lock(impl_->mutex);
    StartStatus st = impl_->CheckLocked(kind);
    if (st != StartStatus::Started) {
      Log(std::string("> ") + OpKindName(kind) + " not started: " + RefusalText(st));
      return OpResult::Failed(RefusalText(st));
    }
    Impl::Slot& s = impl_->slot(kind);
    if (s.thread.joinable()) s.thread.join();  // an earlier worker of this kind has ended
    ctx = impl_->BeginLocked(kind, std::move(snapshot));
  }
  impl_->Notify(kind, OpState::Running, nullptr);
  OpResult r = Impl::Execute(*ctx, work);
  impl_->WorkReturned(kind);
  impl_->Finish(kind, r);
  return r;
}

void Runner::Cancel(OpKind kind) {
  std::lock_guard lock(impl_->mutex);
  Impl::Slot& s = impl_->slot(kind);
  if (s.state == OpState::Idle || s.stop.stop_requested()) return;
  Log(std::string("> ") + OpKindName(kind) + ": cancel requested");
  s.stop.request_stop();
}

void Runner::CancelLongOperations() {
  for (int i = 0; i < kOpKindCount; ++i)
    if (IsLongOperation(static_cast<OpKind>(i))) Cancel(static_cast<OpKind>(i));
}

void Runner::CancelAll() {
  for (int i = 0; i < kOpKindCount; ++i) Cancel(static_cast<OpKind>(i));
}

bool Runner::JoinAll(int timeoutMs, const std::function<void()>& pump) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      std::unique_lock lock(impl_->mutex);
      bool running = false;
      for (auto& s : impl_->slots) running = running || s.state != OpState::Idle;
      if (!running) {
        std::array<std::thread, kOpKindCount> done;
        for (int i = 0; i < kOpKindCount; ++i) done[i] = std::move(impl_->slots[i].thread);
        lock.unlock();
        for (auto& t : done)
          if (t.joinable()) t.join();
        return true;
      }
      if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
        for (int i = 0; i < kOpKindCount; ++i)
          if (impl_->slots[i].state != OpState::Idle)
            Log(std::string("> Exit: the operation ") + OpKindName(static_cast<OpKind>(i)) + " is still running");
        return false;
      }
      if (!pump) {
        impl_->changed.wait_for(lock, std::chrono::milliseconds(20));
        continue;
      }
    }
    pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Runner::CancelAndJoinAll(int timeoutMs, const std::function<void()>& pump) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->exiting = true;
  }
  CancelAll();
  return JoinAll(timeoutMs, pump);
}

void Runner::Reopen() {
  std::lock_guard lock(impl_->mutex);
  impl_->exiting = false;
}

OpState Runner::State(OpKind kind) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->slot(kind).state;
}

bool Runner::LongOperationRunning() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->AnyLocked(IsLongOperation);
}

bool Runner::LongOperationBusy() const {
  std::lock_guard lock(impl_->mutex);
  for (int i = 0; i < kOpKindCount; ++i) {
    const Impl::Slot& s = impl_->slots[i];
    if (s.state != OpState::Idle && !s.endSection && IsLongOperation(static_cast<OpKind>(i))) return true;
  }
  return false;
}

bool Runner::CancelPending() const {
  std::lock_guard lock(impl_->mutex);
  for (const Impl::Slot& s : impl_->slots)
    if (s.state != OpState::Idle && !s.endSection && s.stop.stop_requested()) return true;
  return false;
}

bool Runner::FormatStopped() const {
  std::lock_guard lock(impl_->mutex);
  const Impl::Slot& s = impl_->slot(OpKind::Format);
  return s.state != OpState::Idle && s.ctx && s.ctx->Stopped();
}

bool Runner::NetworkRunning() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->AnyLocked(UsesNetwork);
}

bool Runner::AnyRunning() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->AnyLocked([](OpKind) { return true; });
}

OpResult Runner::LastResult(OpKind kind) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->slot(kind).last;
}

void Runner::SetObserver(Observer observer) {
  std::lock_guard lock(impl_->mutex);
  impl_->observer = std::move(observer);
}

void Runner::SetSettingsApplier(SettingsApplier applier) {
  std::lock_guard lock(impl_->mutex);
  impl_->applier = std::move(applier);
}

void Runner::ApplySettings(std::function<void(Settings&)> change) {
  SettingsApplier applier;
  {
    std::lock_guard lock(impl_->mutex);
    applier = impl_->applier;
  }
  if (applier)
    applier(std::move(change));
  else
    Log("> Settings change of an operation not kept (no front end keeps settings)");
}

void OpContext::ApplySettings(std::function<void(Settings&)> change) const {
  GetRunner().ApplySettings(std::move(change));
}

Runner& GetRunner() {
  static Runner r;
  return r;
}

// The designed flags, read from the runner. On an operation's own thread they
// describe that operation.
const RunnerFlag format_op_in_progress([] { return GetRunner().LongOperationBusy() ? 1 : 0; });
const RunnerFlag flgNetThreadRunning([] { return GetRunner().NetworkRunning() ? 1 : 0; });
const RunnerFlag CancelMainThread([] {
  if (const OpContext* op = CurrentOp()) return op->Cancelled() ? 1 : 0;
  return GetRunner().CancelPending() ? 1 : 0;
});
const RunnerFlag FormatStatus([] {
  if (const OpContext* op = CurrentOp()) return op->Stopped() ? 1 : 0;
  return GetRunner().FormatStopped() ? 1 : 0;
});

}  // namespace fk
