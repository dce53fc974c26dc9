#include "gui/TaskbarProgress.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include "app/Log.h"
#include "platform/UserFolders.h"

namespace fk::gui {

TaskbarProgress::Sink LauncherEntrySink(const char* connectionName) {
  QString name = connectionName ? QString::fromLatin1(connectionName) : QString();
  if (name.isEmpty()) {
    // Started through pkexec, the environment no longer names the session bus
    // of the user who started the program; its socket is still in place.
    const std::string address = platform::UserSessionBusAddress();
    if (!address.empty()) {
      name = QStringLiteral("flashkeel-user-session");
      if (!QDBusConnection(name).isConnected())
        QDBusConnection::connectToBus(QString::fromStdString(address), name);
      Log("> TaskbarProgress: session bus " + address);
    }
  }
  QDBusConnection bus = name.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(name);
  if (!bus.isConnected()) {
    Log("> TaskbarProgress: no session bus, progress shown only in the window");
    return {};
  }
  return [name](int state, int64_t value, int64_t minimum, int64_t maximum) {
    QDBusMessage msg = QDBusMessage::createSignal(QStringLiteral("/com/flashkeel/flashkeel"),
                                                  QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                  QStringLiteral("Update"));
    const double span = maximum > minimum ? double(maximum - minimum) : 1.0;
    QVariantMap props;
    props.insert(QStringLiteral("progress"), double(value - minimum) / span);
    props.insert(QStringLiteral("progress-visible"), state != TBPF_NOPROGRESS);
    props.insert(QStringLiteral("urgent"), state == TBPF_ERROR);
    msg << QString::fromLatin1(kLauncherAppUri) << props;
    (name.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(name)).send(msg);
  };
}

std::unique_ptr<TaskbarProgress> TaskbarProgress::New(int64_t minimum, int64_t maximum, Sink sink) {
  auto tp = std::make_unique<TaskbarProgress>();
  if (minimum < 0) minimum = 0;
  if (maximum < minimum) maximum = minimum;
  tp->min_ = minimum;
  tp->max_ = maximum;
  tp->sink_ = sink ? std::move(sink) : LauncherEntrySink();
  if (tp->sink_) tp->sink_(TBPF_NOPROGRESS, tp->min_, tp->min_, tp->max_);
  return tp;
}

void TaskbarProgress::SetState(int state) {
  switch (state) {
    case TBPF_NOPROGRESS:
    case TBPF_INDETERMINATE:
    case TBPF_NORMAL:
    case TBPF_ERROR:
    case TBPF_PAUSED:
      break;
    default:
      return;
  }
  const bool changed = state != state_;
  state_ = state;
  // Workers redraw often with the same figures; the bus only hears changes.
  if (sink_ && changed) sink_(state_, value_, min_, max_);
}

void TaskbarProgress::SetValue(int64_t value) {
  if (value < min_) value = min_;
  if (value > max_) value = max_;
  const bool changed = value != value_;
  value_ = value;
  if (sink_ && changed) sink_(state_, value_, min_, max_);
}

}  // namespace fk::gui
