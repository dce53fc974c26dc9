#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Process.h"

namespace fk {
namespace {

TEST(RunProcess, CapturesOutputLinesAndExitCode) {
  ProcessRequest req;
  req.argv = {"sh", "-c", "echo one; echo two >&2; printf three; exit 3"};
  std::vector<std::string> lines;
  req.onLine = [&](std::string_view l) { lines.emplace_back(l); };
  ProcessResult r = RunProcess(req);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(RunProcess, AnExitStatusThatCannotBeCollectedIsNotSuccess) {
  // With SIGCHLD ignored the kernel reaps the child itself.
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ign, &old);
  ProcessRequest req;
  req.argv = {"sh", "-c", "echo x; exit 3"};
  ProcessResult r = RunProcess(req);
  ::sigaction(SIGCHLD, &old, nullptr);
  EXPECT_TRUE(r.started);
  EXPECT_NE(r.exitCode, 0);
}

TEST(RunProcess, MissingProgramIsReportedNotCrashed) {
  ProcessRequest req;
  req.argv = {"no-such-program-fk"};
  ProcessResult r = RunProcess(req);
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.errorText.find("not found"), std::string::npos);
}

TEST(RunProcess, CancelKillsTheProgramAndItsChildren) {
  ProcessRequest req;
  req.argv = {"sh", "-c", "sleep 30 & sleep 30; echo never"};
  std::atomic<bool> stop{false};
  req.cancel = [&] { return stop.load(); };
  auto t0 = std::chrono::steady_clock::now();
  std::thread th([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  ProcessResult r = RunProcess(req);
  th.join();
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.output.find("never"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(RunProcess, StdinAndEnvironmentReachTheProgram) {
  ProcessRequest req;
  req.argv = {"sh", "-c", "read x; echo \"$x-$FK_TEST_VAR\""};
  req.stdinData = "hello\n";
  req.extraEnv = {{"FK_TEST_VAR", "world"}};
  ProcessResult r = RunProcess(req);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "hello-world\n");
}

TEST(RunProcess, LargeStdinAndOutputDoNotBlockEachOther) {
  // The program writes a full pipe's worth before it reads anything.
  ProcessRequest req;
  req.argv = {"sh", "-c", "head -c 1000000 /dev/zero; wc -c"};
  req.stdinData.assign(1000000, 'x');
  req.timeoutMs = 60000;
  ProcessResult r = RunProcess(req);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_FALSE(r.timedOut);
  ASSERT_EQ(r.output.size(), 1000008u);
  EXPECT_EQ(r.output.substr(1000000), "1000000\n");

  // A program that reads nothing and exits: the rest of stdin is dropped.
  req.argv = {"sh", "-c", "exit 4"};
  r = RunProcess(req);
  EXPECT_EQ(r.exitCode, 4);
}

TEST(RunProcess, ReturnsWhenADaemonChildKeepsThePipeOpen) {
  ProcessRequest req;
  req.argv = {"sh", "-c", "(sleep 20 &) ; echo started"};
  auto t0 = std::chrono::steady_clock::now();
  ProcessResult r = RunProcess(req);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "started\n");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(RunProcess, TimeoutStopsAProgramThatClosedItsOutputOrNeverPauses) {
  for (const char* script : {"exec >/dev/null 2>&1; sleep 20", "timeout 20 sh -c 'while :; do echo x; done'"}) {
    SCOPED_TRACE(script);
    ProcessRequest req;
    req.argv = {"sh", "-c", script};
    req.timeoutMs = 300;
    auto t0 = std::chrono::steady_clock::now();
    ProcessResult r = RunProcess(req);
    EXPECT_TRUE(r.timedOut);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  }
}

}  // namespace
}  // namespace fk
