#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "app/Log.h"
#include "platform/SingleInstance.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

// Exit status 0 when a fresh process finds itself the first copy, 1 otherwise.
int FirstInChild(const std::string& name, const std::string& dir) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    SingleInstance lock(name, dir);
    ::_exit(lock.IsFirst() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(SingleInstance, SecondCopyIsRefusedUntilTheFirstEnds) {
  test::TempDir dir("fk-single");
  auto first = std::make_unique<SingleInstance>("flashkeel", dir.path());
  EXPECT_TRUE(first->IsFirst());
  EXPECT_EQ(first->LockPath(), dir / "flashkeel.lock");
  EXPECT_EQ(FirstInChild("flashkeel", dir.path()), 1);
  EXPECT_FALSE(SingleInstance("flashkeel", dir.path()).IsFirst());  // a second lock in this process too
  EXPECT_EQ(FirstInChild("flashkeel-cli", dir.path()), 0);          // another program name runs
  first.reset();
  EXPECT_EQ(FirstInChild("flashkeel", dir.path()), 0);
}

// A lock file that cannot be opened lets the program run, and says why in the debug log.
TEST(SingleInstance, UnopenableLockFileIsLogged) {
  test::TempDir dir("fk-single");
  SetLogMirror(true);
  EXPECT_TRUE(SingleInstance("flashkeel", dir / "missing").IsFirst());
  EXPECT_TRUE(LogMirrorContains("> SingleInstance: Error: cannot open " + (dir / "missing/flashkeel.lock")));
  SetLogMirror(false);
}

}  // namespace
}  // namespace fk
