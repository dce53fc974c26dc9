// Device-change debounce: a burst of block-device notifications gives one
// UM_UPDATE_ALL_DRIVES about 1000 ms after its first notification; none while a
// long operation runs. Notifications come from kernel uevents.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include "platform/DeviceEventSource.h"

namespace fk {

inline constexpr int WM_DEVICECHANGE = 537;
inline constexpr int DBT_DEVNODES_CHANGED = 7;
inline constexpr int kDeviceTimerMessage = 0x10000;
inline constexpr int64_t kDeviceEventDebounceMs = 1000;

// The timing logic with an injectable clock; thread-safe.
class DeviceEventDebouncer {
 public:
  using Clock = std::function<int64_t()>;  // milliseconds
  using Poster = std::function<void(int event)>;
  DeviceEventDebouncer(Clock clock, Poster poster);

  // The message callback: WM_DEVICECHANGE / DBT_DEVNODES_CHANGED and the timer
  // message kDeviceTimerMessage. Always returns 0 (default processing goes on).
  int GetDeviceEvent(int message, int64_t wParam, int64_t lParam);
  // Fires the timer when its period has passed (sends kDeviceTimerMessage).
  void Poll();
  bool TimerRunning() const;
  // Milliseconds until the timer fires, -1 when it is not running.
  int64_t MsUntilTimer() const;

 private:
  Clock clock_;
  Poster poster_;
  mutable std::mutex mutex_;
  bool timerRunning_ = false;
  int64_t timerStart_ = 0;
};

// The main window's callback over a process-wide debouncer that posts through
// SetDeviceEventPoster's function.
int GetDeviceEvent(int message, int64_t wParam, int64_t lParam);
void SetDeviceEventPoster(std::function<void(int event)> poster);
class DeviceEventDebouncer;
DeviceEventDebouncer& GlobalDeviceEventDebouncer();


// Runs a source on its own thread, feeding the debouncer; stops on destruction.
class DeviceEventMonitor {
 public:
  DeviceEventMonitor(std::unique_ptr<DeviceEventSource> source, DeviceEventDebouncer& debouncer);
  ~DeviceEventMonitor();
  DeviceEventMonitor(const DeviceEventMonitor&) = delete;
  DeviceEventMonitor& operator=(const DeviceEventMonitor&) = delete;

 private:
  void Run();
  std::unique_ptr<DeviceEventSource> source_;
  DeviceEventDebouncer& debouncer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Starts kernel uevent monitoring into the process-wide debouncer; nullptr when
// uevents are not available.
std::unique_ptr<DeviceEventMonitor> StartDeviceEventMonitor();

}  // namespace fk
