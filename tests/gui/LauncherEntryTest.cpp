// The launcher-entry progress signal on a private D-Bus daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QVariantMap>

#include "gui/TaskbarProgress.h"
#include "tests/support/TestUtil.h"

extern char** environ;

namespace fk::gui {
namespace {

class UpdateReceiver : public QObject {
  Q_OBJECT
 public:
  struct Update {
    QString app;
    QVariantMap props;
  };
  std::vector<Update> seen;
 public slots:
  void onUpdate(const QString& app, const QVariantMap& props) { seen.push_back({app, props}); }
};

// A session-type dbus-daemon of our own, ended on destruction.
class PrivateBus {
 public:
  PrivateBus() {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"), const_cast<char*>("--nofork"),
                    const_cast<char*>("--nopidfile"), const_cast<char*>("--print-address=1"), nullptr};
    if (posix_spawnp(&pid_, "dbus-daemon", &fa, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char buf[512];
    ssize_t n;
    while (pid_ > 0 && address_.find('\n') == std::string::npos && (n = read(fds[0], buf, sizeof buf)) > 0)
      address_.append(buf, size_t(n));
    close(fds[0]);
    if (auto nl = address_.find('\n'); nl != std::string::npos) address_.resize(nl);
  }
  ~PrivateBus() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& Address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

TEST(LauncherEntryTest, ProgressChangesReachTheBusAsUpdateSignals) {
  if (!fk::test::HaveProgram("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
  PrivateBus daemon;
  ASSERT_FALSE(daemon.Address().empty());
  const QString address = QString::fromStdString(daemon.Address());
  QDBusConnection sender = QDBusConnection::connectToBus(address, QStringLiteral("fk-send"));
  QDBusConnection listener = QDBusConnection::connectToBus(address, QStringLiteral("fk-listen"));
  ASSERT_TRUE(sender.isConnected());
  ASSERT_TRUE(listener.isConnected());
  UpdateReceiver rx;
  ASSERT_TRUE(listener.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                               QStringLiteral("Update"), &rx, SLOT(onUpdate(QString, QVariantMap))));

  auto tp = TaskbarProgress::New(0, 200, LauncherEntrySink("fk-send"));
  ASSERT_TRUE(tp->HasSink());
  tp->SetState(TBPF_NORMAL);
  tp->SetValue(50);
  tp->SetState(TBPF_ERROR);

  QElapsedTimer t;
  t.start();
  while (rx.seen.size() < 4 && t.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_EQ(rx.seen.size(), 4u);
  for (const auto& u : rx.seen) EXPECT_EQ(u.app, QString::fromLatin1(kLauncherAppUri));
  EXPECT_FALSE(rx.seen[0].props.value("progress-visible").toBool()) << "starts without progress";
  EXPECT_TRUE(rx.seen[2].props.value("progress-visible").toBool());
  EXPECT_DOUBLE_EQ(rx.seen[2].props.value("progress").toDouble(), 0.25);
  EXPECT_FALSE(rx.seen[2].props.value("urgent").toBool());
  EXPECT_TRUE(rx.seen[3].props.value("urgent").toBool()) << "the error state asks for attention";

  QDBusConnection::disconnectFromBus(QStringLiteral("fk-send"));
  QDBusConnection::disconnectFromBus(QStringLiteral("fk-listen"));
  EXPECT_FALSE(LauncherEntrySink("fk-send")) << "no bus, no sink";
}

}  // namespace
}  // namespace fk::gui

#include "LauncherEntryTest.moc"
