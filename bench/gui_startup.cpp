// Start-up of the GUI to the first painted main window:
//  - ProcessStartToFirstPaint: a whole program start (QApplication, start-up
//    sequence, window) until the window's first paint, in a child process;
//  - MainWindowFirstPaint: building and showing the main window in a running
//    application until its first paint.
// Runs on Qt's offscreen platform.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "gui/Actions.h"
#include "gui/MainWindow.h"

#if __has_include(<benchmark/benchmark.h>)
#include <benchmark/benchmark.h>
#define FK_HAVE_BENCHMARK 1
#endif

extern char** environ;

namespace {

class FirstPaint : public QObject {
 public:
  bool seen = false;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint) seen = true;
    return QObject::eventFilter(o, e);
  }
};

// Seconds from building the window to its first paint.
double MainWindowFirstPaint() {
  fk::gui::GuiActions actions;
  QElapsedTimer t;
  t.start();
  fk::gui::MainWindow w(actions);
  FirstPaint watch;
  w.findChild<QWidget*>("Canvas_Progress")->installEventFilter(&watch);
  w.show();
  while (!watch.seen && t.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 5);
  return double(t.nsecsElapsed()) / 1e9;
}

#ifdef FK_GUI_HELPER
// Seconds from spawning the program to its "PAINTED" line; -1 on failure.
double ProcessStartToFirstPaint() {
  char dir[] = "/tmp/fkbenchXXXXXX";
  if (!mkdtemp(dir)) return -1;
  const std::string d = dir;
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + d, "FLASHKEEL_HOME=" + d,
                                  "HOME=" + d, "FK_HELPER_EXIT_ON_PAINT=1", "PATH=/usr/bin:/bin"};
  std::vector<char*> ev;
  for (auto& s : env) ev.push_back(s.data());
  ev.push_back(nullptr);
  std::string prog = FK_GUI_HELPER;
  char* av[] = {prog.data(), nullptr};
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  posix_spawn_file_actions_addchdir_np(&fa, dir);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, av[0], &fa, nullptr, av, ev.data());
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  double secs = -1;
  if (rc == 0) {
    std::string out;
    char buf[256];
    ssize_t n;
    while (out.find("PAINTED") == std::string::npos && (n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, n);
    if (out.find("PAINTED") != std::string::npos)
      secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  std::string cleanup = "rm -rf '" + d + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
  return secs;
}
#endif

}  // namespace

#ifdef FK_HAVE_BENCHMARK
static void BM_MainWindowFirstPaint(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(MainWindowFirstPaint());
}
BENCHMARK(BM_MainWindowFirstPaint)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

#ifdef FK_GUI_HELPER
static void BM_ProcessStartToFirstPaint(benchmark::State& state) {
  for (auto _ : state) {
    const double s = ProcessStartToFirstPaint();
    if (s < 0) {
      state.SkipWithError("the program did not paint");
      break;
    }
    state.SetIterationTime(s);
  }
}
BENCHMARK(BM_ProcessStartToFirstPaint)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
#endif
#endif

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  QApplication app(argc, argv);
#ifdef FK_HAVE_BENCHMARK
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
#else
  std::printf("MainWindowFirstPaint: %.1f ms\n", MainWindowFirstPaint() * 1000);
#ifdef FK_GUI_HELPER
  std::printf("ProcessStartToFirstPaint: %.1f ms\n", ProcessStartToFirstPaint() * 1000);
#endif
#endif
  return 0;
}
