// flashkeel-cli: the command-line front end.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Utilities.h"
#include "cli/Args.h"
#include "cli/CliUi.h"
#include "cli/Commands.h"
#include "disk/DiskList.h"
#include "platform/Process.h"
#include "net/Http.h"
#include "net/SuCatalog.h"

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Ctrl-C and SIGTERM act like the Cancel button: the format run stops where
// it looks for a cancel, backup and restore after the current chunk. The
// handler only sets flags; a watcher thread hands the cancel to the runner,
// also to an operation the command starts later. A second signal hurries:
// every program the run started is killed with its process group and reaped
// at once, but the run still unmounts, detaches and removes what it made
// before the program ends (128 + the signal's number).
std::atomic<int> g_signals{0};
std::atomic<int> g_lastSignal{0};

void Say(const char* text, size_t length) {
  ssize_t n = ::write(STDERR_FILENO, text, length);
  (void)n;
}

void OnSignal(int sig) {
  g_interrupted.store(true);
  g_lastSignal = sig;
  if (g_signals.fetch_add(1) == 0) {
    static const char intr[] = "\nflashkeel-cli: cancelling (Ctrl-C again to stop sooner; cleanup still runs)\n";
    static const char term[] = "\nflashkeel-cli: terminate request received: cancelling and cleaning up\n";
    if (sig == SIGTERM) Say(term, sizeof term - 1);
    else Say(intr, sizeof intr - 1);
    return;
  }
  fk::StopAllChildren();
  static const char hurry[] = "\nflashkeel-cli: stopping now: ending started programs, then cleaning up\n";
  Say(hurry, sizeof hurry - 1);
}

std::string ExecutablePath(const char* argv0) {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<size_t>(n));
  return argv0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace fk::cli;
  std::vector<std::string> args(argv + 1, argv + argc);
  ParseResult parsed = ParseArgs(args);
  if (!parsed.ok) {
    std::fprintf(stderr, "flashkeel-cli: %s\n", parsed.error.c_str());
    Command c = parsed.args.command;
    std::fprintf(stderr, "%s", HelpText(c == Command::None ? Command::None : c).c_str());
    return 2;
  }
  const Args& a = parsed.args;
  if (a.command == Command::Help) {
    std::printf("%s", HelpText(Command::None).c_str());
    return 0;
  }
  if (a.command == Command::Version) {
    std::printf("flashkeel-cli %s\n", fk::AppVersion().c_str());
    return 0;
  }
  if (a.help) {
    std::printf("%s", HelpText(a.command).c_str());
    return 0;
  }

  fk::InitProgramPaths(ExecutablePath(argv[0]));
  fk::InstallCatalogListHooks();
  fk::LoadSetting();
  if (const std::string why = fk::LastSettingsLoadError(); !why.empty())
    std::fprintf(stderr, "flashkeel-cli: the settings file is ignored, the defaults are used: %s\n", why.c_str());
  fk::SetResumeMaxAttemptsSetting(fk::Cfg().iResumeMaxAttemptsNumber);
  // --all and --image show fixed disks for this run only.
  static bool fixedDisks = false;
  fixedDisks = a.all || !a.image.empty() || fk::SavedSettings().EnableFixedDisks == 1;
  fk::SetEnableFixedDisksSource([] { return fixedDisks; });

  CliUi::Options o;
  o.assumeYes = a.yes;
  o.interactive = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
  o.fancyProgress = ::isatty(STDOUT_FILENO);
  // The updating line must fit the terminal: a wrapped line cannot be redrawn in place.
  if (struct winsize ws {}; o.fancyProgress && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
    o.width = ws.ws_col;
  o.quiet = a.command == Command::List || a.command == Command::RecoveryList || a.command == Command::DlList ||
            (a.command == Command::Clover && a.cloverAction == "list");
  auto ui = std::make_shared<CliUi>(o, stdout, stdin);
  if (!a.file.empty()) ui->QueueDialogAnswer(a.file);
  fk::SetUi(ui);
  // The pauses to read a status are off in CliUi; what is left waits between
  // retries and is kept short here.
  fk::SetPauseFunction([](int ms) {
    if (ms > 0 && g_signals.load() < 2) ::usleep(static_cast<useconds_t>(std::min(ms, 300)) * 1000);
  });

  std::jthread cancelWatch([](std::stop_token stop) {
    while (!stop.stop_requested()) {
      if (g_interrupted.load()) fk::GetRunner().CancelAll();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  int rc = 1;
  switch (a.command) {
    case Command::List: rc = RunList(a, *ui); break;
    case Command::Format: rc = RunFormat(a, *ui); break;
    case Command::Eject: rc = RunEject(a, *ui); break;
    case Command::Backup: rc = RunBackup(a, *ui); break;
    case Command::Restore: rc = RunRestore(a, *ui); break;
    case Command::Hfs: rc = RunHfs(a, *ui, stdout); break;
    case Command::Clover: rc = RunClover(a, *ui); break;
    case Command::RecoveryDownload: rc = RunRecovery(a, *ui); break;
    case Command::ExtractDmg: rc = RunExtractDmg(a, *ui); break;
    case Command::RecoveryUpdate: rc = RunRecoveryUpdate(a, *ui); break;
    case Command::RecoveryList: rc = RunRecoveryList(a, *ui); break;
    case Command::DlUpdate:
    case Command::DlList:
    case Command::DlGet: rc = RunDl(a, *ui); break;
    default: break;
  }
  cancelWatch.request_stop();
  cancelWatch.join();
  ui->FinishLine();
  fk::DeleteTempWorkDir();
  fk::SetUi(nullptr);
  fk::CloseLog();
  if (g_signals.load() >= 2) return 128 + g_lastSignal.load();
  return rc;
}
