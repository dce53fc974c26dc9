// Progress on the launcher/dock icon: the task-bar button's progress of the
// main window, sent as the com.canonical.Unity.LauncherEntry "Update" signal on
// the session bus. Without a session bus the object exists and does nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace fk::gui {

enum TaskbarState : int {
  TBPF_NOPROGRESS = 0,
  TBPF_INDETERMINATE = 1,
  TBPF_NORMAL = 2,
  TBPF_ERROR = 4,
  TBPF_PAUSED = 8,
};

class TaskbarProgress {
 public:
  TaskbarProgress() = default;  // without a sink; use New()
  // Receives every state or value change: (state, value, minimum, maximum).
  using Sink = std::function<void(int state, int64_t value, int64_t minimum, int64_t maximum)>;

  int GetState() const { return state_; }
  int64_t GetValue() const { return value_; }
  // Only 0, 1, 2, 4 and 8 are taken; other values are ignored.
  void SetState(int state);
  // Clamped to minimum .. maximum.
  void SetValue(int64_t value);
  int64_t Minimum() const { return min_; }
  int64_t Maximum() const { return max_; }
  bool HasSink() const { return static_cast<bool>(sink_); }

  // A negative minimum becomes 0, a maximum below the minimum becomes the
  // minimum. sink empty: the launcher-entry signal when a session bus exists.
  static std::unique_ptr<TaskbarProgress> New(int64_t minimum, int64_t maximum, Sink sink = {});

 private:
  int state_ = 0;
  int64_t value_ = 0;
  int64_t min_ = 0;
  int64_t max_ = 100;
  Sink sink_;
};

// A sink sending the launcher-entry "Update" signal on the named Qt D-Bus
// connection (empty name: the session bus); empty when it is not connected.
TaskbarProgress::Sink LauncherEntrySink(const char* connectionName = nullptr);

// The desktop file id the launcher entry refers to.
inline constexpr const char* kLauncherAppUri = "application://flashkeel.desktop";

}  // namespace fk::gui
