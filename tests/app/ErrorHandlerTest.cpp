#include <gtest/gtest.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <thread>

#include "app/ErrorHandler.h"
#include "app/Log.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

struct CrashResult {
  int exitCode = -1;  // -1: did not exit normally
  std::string report;
  std::string log;
  std::string stderrText;
};

// Runs fail() in a child process with the handler installed and collects what
// the handler left behind.
CrashResult CrashInChild(const test::TempDir& dir, const std::function<void()>& fail,
                         const std::vector<std::string>& viewer = {}) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int err = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    OpenLog(dir / "FKLDebug.log");
    InstallErrorHandler(dir.path());
    SetCrashViewer(viewer);
    fail();
    ::_exit(99);  // not reached when the failure is caught
  }
  CrashResult r;
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return r;
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  r.report = test::ReadFileBytes(dir / ("flashkeel-crash-" + std::to_string(pid) + ".txt"));
  r.log = test::ReadFileBytes(dir / "FKLDebug.log");
  r.stderrText = test::ReadFileBytes(dir / "stderr.txt");
  return r;
}

void ExpectRegisterLines(const std::string& report) {
  const size_t regs = report.find("\r\rRegister content:\rEAX = \t");
  ASSERT_NE(regs, std::string::npos) << report;
  size_t pos = regs;
  for (const char* name : {"EBX", "ECX", "EDX", "EBP", "ESI", "EDI", "ESP"}) {
    size_t next = report.find(std::string("\r") + name + " = \t", pos);
    ASSERT_NE(next, std::string::npos) << name;
    pos = next;
  }
  EXPECT_EQ(report.find('\n'), std::string::npos);  // lines are separated by CR alone
}

TEST(ErrorHandler, BadPointerReportsTheAccessViolationWithItsTarget) {
  test::TempDir dir("fk-crash");
  const CrashResult r = CrashInChild(dir, [] { *reinterpret_cast<volatile int*>(16) = 1; });
  EXPECT_EQ(r.exitCode, kCrashExitCode);
  ASSERT_FALSE(r.report.empty());
  EXPECT_EQ(r.report.rfind("A program error was detected:\r\rError Message:\tInvalid memory access\r"
                           "Error Code:\t-1073741819\rCode Address:\t",
                           0),
            0u)
      << r.report;
  EXPECT_NE(r.report.find("\rTarget Address:\t16\r"), std::string::npos) << r.report;
  EXPECT_NE(r.report.find("\rSourcecode line: Enable OnError lines support to get code line information.\r"),
            std::string::npos);
  ExpectRegisterLines(r.report);
  EXPECT_NE(r.log.find("> OnError: Error Code:\t-1073741819\r\n"), std::string::npos) << r.log;
  EXPECT_NE(r.stderrText.find("\nError Code:\t-1073741819\nCode Address:\t"), std::string::npos) << r.stderrText;
}

TEST(ErrorHandler, IntegerDivisionByZeroHasNoTargetLine) {
  test::TempDir dir("fk-crash");
  const CrashResult r = CrashInChild(dir, [] {
    volatile int a = 1, b = 0;
    volatile int c = a / b;
    (void)c;
  });
  EXPECT_EQ(r.exitCode, kCrashExitCode);
  EXPECT_NE(r.report.find("Error Message:\tDivision by zero \rError Code:\t-1073741676\r"), std::string::npos)
      << r.report;
  EXPECT_EQ(r.report.find("Target Address:"), std::string::npos);
  ExpectRegisterLines(r.report);
}

__attribute__((noinline)) int Recurse(int n) {
  volatile char frame[2048];
  frame[0] = static_cast<char>(n);
  if (n < 0) return 0;
  return Recurse(n + 1) + frame[0];
}

TEST(ErrorHandler, StackOverflowInAWorkerThreadIsReported) {
  test::TempDir dir("fk-crash");
  const CrashResult r = CrashInChild(dir, [] {
    std::thread worker([] {
      ThreadErrorStack guard;
      Recurse(0);
    });
    worker.join();
  });
  EXPECT_EQ(r.exitCode, kCrashExitCode);
  EXPECT_NE(r.report.find("Error Message:\tStack overflow\rError Code:\t-1073741571\r"), std::string::npos)
      << r.report;
  EXPECT_EQ(r.report.find("Target Address:"), std::string::npos);
}

TEST(ErrorHandler, RegisteredViewerGetsTheReportBeforeTheProcessEnds) {
  test::TempDir dir("fk-crash");
  const std::string copy = dir / "shown.txt";
  const CrashResult r = CrashInChild(dir, [] { std::raise(SIGILL); },
                                     {"sh", "-c", "cp \"$0\" '" + copy + "'"});
  EXPECT_EQ(r.exitCode, kCrashExitCode);
  EXPECT_NE(r.report.find("Error Message:\tIllegal instruction\rError Code:\t-1073741795\r"), std::string::npos)
      << r.report;
  EXPECT_EQ(test::ReadFileBytes(copy), r.report);
}

TEST(ErrorHandler, UncaughtExceptionsAndAbortsAreReported) {
  test::TempDir dir("fk-crash");
  CrashResult r = CrashInChild(dir, [] {
    std::thread worker([] { throw std::runtime_error("the disk went away"); });
    worker.join();
  });
  EXPECT_EQ(r.exitCode, kCrashExitCode);
  EXPECT_NE(r.report.find("Error Message:\tUnhandled C++ exception\rException:\tstd::runtime_error: the disk went "
                          "away\rError Code:\t"),
            std::string::npos)
      << r.report;
  EXPECT_NE(r.log.find("> OnError: Exception:\tstd::runtime_error: the disk went away\r\n"), std::string::npos);
  ExpectRegisterLines(r.report);

  r = CrashInChild(dir, [] { std::abort(); });
  EXPECT_EQ(r.exitCode, kCrashExitCode);
  EXPECT_NE(r.report.find("Error Message:\tProgram aborted\rError Code:\t1073741845\r"), std::string::npos)
      << r.report;
  EXPECT_EQ(r.report.find("Exception:"), std::string::npos);
}

}  // namespace
}  // namespace fk
