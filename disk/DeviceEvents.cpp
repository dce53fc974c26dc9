#include "disk/DeviceEvents.h"

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Utilities.h"
#include "disk/DiskList.h"

namespace fk {

DeviceEventDebouncer::DeviceEventDebouncer(Clock clock, Poster poster)
    : clock_(std::move(clock)), poster_(std::move(poster)) {}

int DeviceEventDebouncer::GetDeviceEvent(int message, int64_t wParam, int64_t lParam) {
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED && format_op_in_progress.load() == 0) {
    std::lock_guard lk(mutex_);
    const int64_t now = clock_();
    // A notification inside the window of the last burst is covered by the
    // running timer. Once that timer has fired it no longer covers anything,
    // so a change right after a rebuild starts a new timer instead of being lost.
    if (now - LastDeviceEventTime > kDeviceEventDebounceMs || !timerRunning_) {
      LastDeviceEventTime = now;
      timerRunning_ = true;
      timerStart_ = now;
      Log("> ==>> GetDeviceEvent: #DBT_DEVNODES_CHANGED: SetTimer_ 1000");
    }
  } else if (message == kDeviceTimerMessage) {
    {
      std::lock_guard lk(mutex_);
      LastDeviceEventTime = clock_();
      timerRunning_ = false;
    }
    if (poster_) poster_(UM_UPDATE_ALL_DRIVES);
    Log("> ==>> GetDeviceEvent: PostEvent(#UM_UPDATE_ALL_DRIVES)");
  }
  return 0;
}

void DeviceEventDebouncer::Poll() {
  bool fire = false;
  {
    std::lock_guard lk(mutex_);
    fire = timerRunning_ && clock_() - timerStart_ >= kDeviceEventDebounceMs;
  }
  if (fire) GetDeviceEvent(kDeviceTimerMessage, 0, 0);
}

bool DeviceEventDebouncer::TimerRunning() const {
  std::lock_guard lk(mutex_);
  return timerRunning_;
}

int64_t DeviceEventDebouncer::MsUntilTimer() const {
  std::lock_guard lk(mutex_);
  if (!timerRunning_) return -1;
  int64_t left = timerStart_ + kDeviceEventDebounceMs - clock_();
  return left < 0 ? 0 : left;
}

namespace {
std::mutex g_posterMutex;
std::function<void(int)> g_poster;
}  // namespace

void SetDeviceEventPoster(std::function<void(int)> poster) {
  std::lock_guard lk(g_posterMutex);
  g_poster = std::move(poster);
}

DeviceEventDebouncer& GlobalDeviceEventDebouncer() {
  static DeviceEventDebouncer d(TickCountMs, [](int event) {
    std::function<void(int)> p;
    {
      std::lock_guard lk(g_posterMutex);
      p = g_poster;
    }
    if (p) p(event);
  });
  return d;
}

int GetDeviceEvent(int message, int64_t wParam, int64_t lParam) {
  return GlobalDeviceEventDebouncer().GetDeviceEvent(message, wParam, lParam);
}

DeviceEventMonitor::DeviceEventMonitor(std::unique_ptr<DeviceEventSource> source, DeviceEventDebouncer& debouncer)
    : source_(std::move(source)), debouncer_(debouncer) {
  thread_ = std::thread([this] { Run(); });
}

DeviceEventMonitor::~DeviceEventMonitor() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void DeviceEventMonitor::Run() {
  while (!stop_.load()) {
    int64_t until = debouncer_.MsUntilTimer();
    int wait = until < 0 ? 100 : static_cast<int>(std::min<int64_t>(until, 100));
    int changes = source_->Wait(wait);
    if (changes < 0) {
      Log("> GetDeviceEvent: device event source failed");
      break;
    }
    if (changes > 0) debouncer_.GetDeviceEvent(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    debouncer_.Poll();
  }
}

std::unique_ptr<DeviceEventMonitor> StartDeviceEventMonitor() {
  auto src = OpenKernelUeventSource();
  if (!src) return nullptr;
  return std::make_unique<DeviceEventMonitor>(std::move(src), GlobalDeviceEventDebouncer());
}

}  // namespace fk
