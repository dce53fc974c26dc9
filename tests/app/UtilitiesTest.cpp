#include <gtest/gtest.h>

#include "app/Runner.h"
#include "app/Utilities.h"

#include <algorithm>
#include <future>

namespace fk {
namespace {

TEST(FormatSize, BytesKilobytesAndTheDecimalJumps) {
  EXPECT_EQ(FormatSize(0, 2), "0 B");
  EXPECT_EQ(FormatSize(1023, 2), "1023 B");
  EXPECT_EQ(FormatSize(1024, 0), "1 KB");
  EXPECT_EQ(FormatSize(12800, 1), "12.5 KB");
  // 1000 KB and more is shown in MB although it is less than 1 MiB.
  EXPECT_EQ(FormatSize(1024000, 2), "0.98 MB");
  // GB and TB always show two more decimals than asked for.
  EXPECT_EQ(FormatSize(8LL << 30, 0), "8.00 GB");
  EXPECT_EQ(FormatSize(2LL << 40, 0), "2.00 TB");
}

TEST(FormatElapsed, PartsArePaddedOnlyAfterALargerUnit) {
  EXPECT_EQ(FormatElapsed(0), "");
  EXPECT_EQ(FormatElapsed(5), "5 s ");
  EXPECT_EQ(FormatElapsed(59), "59 s ");
  EXPECT_EQ(FormatElapsed(60), "1 m 00 s ");
  EXPECT_EQ(FormatElapsed(65), "1 m 05 s ");
  EXPECT_EQ(FormatElapsed(3600), "1 h 00 m 00 s ");
  EXPECT_EQ(FormatElapsed(90061), "1 d 01 h 01 m 01 s ");
  EXPECT_EQ(FormatElapsed(604800 + 5), "1 w 0 d 00 h 00 m 05 s ");
}

TEST(MulDiv64, ExactForOperandsWhoseProductOverflows64Bits) {
  EXPECT_EQ(MulDiv64(10, 3, 4), 7);
  EXPECT_EQ(MulDiv64(1, 1, 0), -1);
  // 16 TiB * 1000 / 1e9 would overflow a 64-bit product.
  const int64_t big = int64_t{1} << 60;
  EXPECT_EQ(MulDiv64(big, 1000, 1000), big);
  EXPECT_EQ(MulDiv64(big, 3, 6), big / 2);
}

}  // namespace
}  // namespace fk

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "app/Log.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

namespace fs = std::filesystem;

// Points TMPDIR at a scratch directory for the test's lifetime.
class TempWorkDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* t = std::getenv("TMPDIR");
    hadTmp_ = t != nullptr;
    if (t) oldTmp_ = t;
    ::setenv("TMPDIR", tmp_.path().c_str(), 1);
    SetLogMirror(true);
  }
  void TearDown() override {
    DeleteTempWorkDir();
    SetLogMirror(false);
    if (hadTmp_) ::setenv("TMPDIR", oldTmp_.c_str(), 1);
    else ::unsetenv("TMPDIR");
  }
  std::vector<std::string> WorkDirs() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(tmp_.path()))
      if (e.is_directory() && e.path().filename().string().rfind("FKLTemp", 0) == 0) out.push_back(e.path().string() + "/");
    std::sort(out.begin(), out.end());
    return out;
  }
  test::TempDir tmp_{"fk-tmp"};
  std::string oldTmp_;
  bool hadTmp_ = false;
};

TEST_F(TempWorkDirTest, LeftoversOfEndedRunsAreRemoved) {
  EXPECT_EQ(GetTemporaryDirectory(), fs::canonical(tmp_.path()).string() + "/");
  const std::string stale = tmp_ / "FKLTemp1111";
  fs::create_directories(stale + "/sub");
  test::WriteFileBytes(stale + "/sub/file", "x");
  fs::permissions(stale + "/sub", fs::perms::owner_read | fs::perms::owner_exec);  // read-only inside
  test::WriteFileBytes(tmp_ / "FKLTempFile", "not a directory");

  ASSERT_EQ(CreateTempWorkDir(), 1);
  const std::string mine = FklTempWorkDir();
  EXPECT_TRUE(std::regex_match(mine, std::regex(".*/FKLTemp[1-9][0-9]{3}/$"))) << mine;
  EXPECT_TRUE(fs::is_directory(mine));
  EXPECT_TRUE(fs::is_empty(mine));  // the caller's files only
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(tmp_ / "FKLTempFile"));
  EXPECT_TRUE(LogMirrorContains("> --> CreateTempWorkDir: DeleteDirectory: " + GetTemporaryDirectory() +
                                "FKLTemp1111"));
  EXPECT_TRUE(LogMirrorContains("> Success create FklTempWorkDir$ = " + mine));
  EXPECT_EQ(WorkDirs(), std::vector<std::string>{mine});

  DeleteTempWorkDir();
  EXPECT_EQ(FklTempWorkDir(), "");
  // Nothing of the run is left, its lock file included.
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator()), 1);
}

// A killed run left its work directory with a private mount of its own, a
// mount of another volume and a loop device over a file in it. The next run
// unmounts and detaches what was the program's, and never enters the other
// volume: its files survive.
TEST_F(TempWorkDirTest, LeftoverCleanupNeverCrossesIntoAnotherVolume) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root for mounts and loop devices";
  const std::string stale = tmp_ / "FKLTemp2222";
  const std::string other = stale + "/other volume", own = stale + "/mntAbC123";
  fs::create_directories(other);
  fs::create_directories(own);
  ASSERT_EQ(test::Sh("mount -t tmpfs fktest '" + other + "'"), 0);
  test::WriteFileBytes(other + "/precious", "keep me");
  ASSERT_EQ(test::Sh("mount -t tmpfs fktest '" + own + "'"), 0);
  test::MakeSparseFile(stale + "/scratch.img", 1 << 20);
  std::string loop;
  ASSERT_EQ(test::Sh("losetup -f --show '" + stale + "/scratch.img'", &loop), 0);
  while (!loop.empty() && loop.back() == '\n') loop.pop_back();

  ASSERT_EQ(CreateTempWorkDir(), 1);
  const std::string mounts = test::ReadFileBytes("/proc/self/mountinfo");
  const bool ownStillMounted = mounts.find(own + " ") != std::string::npos;
  const bool loopAttached = fs::exists("/sys/block/" + fs::path(loop).filename().string() + "/loop");
  EXPECT_EQ(test::ReadFileBytes(other + "/precious"), "keep me");
  test::Sh("umount '" + other + "'");
  if (ownStillMounted) test::Sh("umount '" + own + "'");
  if (loopAttached) test::Sh("losetup -d " + loop);
  EXPECT_FALSE(ownStillMounted);
  EXPECT_FALSE(loopAttached);
  EXPECT_FALSE(fs::exists(stale + "/scratch.img"));
  EXPECT_TRUE(LogMirrorContains("is a mount point of another volume, left alone"));
}

TEST_F(TempWorkDirTest, DirectoriesOfLiveUsersSurviveAnotherCreate) {
  int toParent[2], toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Another running copy: makes its directory, works in it, then dies
    // without cleaning up.
    if (CreateTempWorkDir() != 1) ::_exit(2);
    const std::string dir = FklTempWorkDir();
    test::WriteFileBytes(dir + "work.bin", "child data");
    (void)!::write(toParent[1], dir.c_str(), dir.size());
    ::close(toParent[1]);
    char c;
    (void)!::read(toChild[0], &c, 1);
    ::_exit(test::ReadFileBytes(dir + "work.bin") == "child data" ? 0 : 3);
  }
  ::close(toParent[1]);
  ::close(toChild[0]);
  char buf[512] = {};
  ASSERT_GT(::read(toParent[0], buf, sizeof buf - 1), 0);
  const std::string childDir = buf;

  // This run and a second thread of it each get their own directory while the
  // other copy keeps working in its own.
  ASSERT_EQ(CreateTempWorkDir(), 1);
  const std::string first = FklTempWorkDir();
  std::string second;
  std::thread([&] {
    ASSERT_EQ(CreateTempWorkDir(), 1);
    second = FklTempWorkDir();
  }).join();
  EXPECT_NE(first, second);
  EXPECT_TRUE(fs::is_directory(first));
  EXPECT_EQ(test::ReadFileBytes(childDir + "work.bin"), "child data");

  (void)!::write(toChild[1], "x", 1);
  ::close(toChild[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::close(toParent[0]);

  // Once its owner is gone, the directory is a leftover like any other.
  ASSERT_EQ(CreateTempWorkDir(), 1);
  EXPECT_FALSE(fs::exists(childDir));
  EXPECT_EQ(WorkDirs().size(), 3u);  // first, second and the newest, all of this run
  DeleteTempWorkDir();
  EXPECT_TRUE(fs::is_empty(tmp_.path()));
}

TEST_F(TempWorkDirTest, OverlappingOperationsKeepTheirOwnWorkDirectories) {
  Runner runner;
  std::promise<std::string> firstMade, secondMade;
  std::promise<void> secondEnded;
  ASSERT_EQ(runner.Start(
                OpKind::CatalogUpdate,
                [&](OpContext&) {
                  EXPECT_EQ(CreateTempWorkDir(), 1);
                  const std::string dir = FklTempWorkDir();
                  test::WriteFileBytes(dir + "catalog.plist", "first");
                  firstMade.set_value(dir);
                  secondEnded.get_future().wait();
                  EXPECT_EQ(test::ReadFileBytes(dir + "catalog.plist"), "first");
                  EXPECT_EQ(FklTempWorkDir(), dir);
                  return OpResult::Done();
                },
                Settings{}),
            Runner::StartStatus::Started);
  const std::string first = firstMade.get_future().get();
  const OpResult second = runner.RunHere(
      OpKind::Eject,
      [&](OpContext&) {
        EXPECT_EQ(FklTempWorkDir(), "");  // nothing yet, and not the other operation's
        EXPECT_EQ(CreateTempWorkDir(), 1);
        EXPECT_EQ(CreateTempWorkDir(), 1);  // the same directory again
        secondMade.set_value(FklTempWorkDir());
        return OpResult::Done();
      },
      Settings{});
  EXPECT_TRUE(second.ok());
  const std::string secondDir = secondMade.get_future().get();
  EXPECT_NE(secondDir, first);
  EXPECT_FALSE(fs::exists(secondDir));  // gone with its operation
  EXPECT_TRUE(fs::exists(first + "catalog.plist"));
  secondEnded.set_value();
  EXPECT_TRUE(runner.JoinAll(10000));
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(fs::is_empty(tmp_.path()));  // lock files included
}

TEST_F(TempWorkDirTest, LargeWorkGoesWhereThereIsRoom) {
  test::TempDir beside("fk-beside");
  {
    WorkDir small(1024, beside.path());
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small.path().rfind(GetTemporaryDirectory(), 0), 0u) << small.path();
    WorkDir huge(int64_t{1} << 60, beside.path());
    ASSERT_TRUE(huge.ok());
    EXPECT_EQ(huge.path().rfind(beside.path() + "/FKLTemp", 0), 0u) << huge.path();
    test::WriteFileBytes(huge.path() + "RecoveryHDMeta.dmg", "x");
  }
  EXPECT_TRUE(fs::is_empty(beside.path()));
  // The other folder (made under TMPDIR too) is all that is left there.
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp_.path()), fs::directory_iterator()), 1);

  // A parent that cannot take a directory says why.
  ::setenv("TMPDIR", (tmp_ / "missing").c_str(), 1);
  WorkDir none;
  EXPECT_FALSE(none.ok());
  EXPECT_NE(none.error().find("No such file or directory"), std::string::npos) << none.error();
}

TEST_F(TempWorkDirTest, TempFileNamesReplaceOldTempFiles) {
  EXPECT_EQ(MakeTempFileName(""), "");
  test::WriteFileBytes(tmp_ / "TEMP1234", "old");
  fs::create_directory(tmp_ / "TEMPDIR");
  test::WriteFileBytes(tmp_ / "other", "keep");
  const std::string name = MakeTempFileName(tmp_.path());
  EXPECT_TRUE(std::regex_match(name, std::regex(tmp_.path() + "/TEMP[1-9][0-9]{3}"))) << name;
  EXPECT_FALSE(fs::exists(name));
  EXPECT_FALSE(fs::exists(tmp_ / "TEMP1234"));
  EXPECT_TRUE(fs::is_directory(tmp_ / "TEMPDIR"));
  EXPECT_TRUE(fs::exists(tmp_ / "other"));
  EXPECT_TRUE(LogMirrorContains("> TEMP1234"));
  EXPECT_TRUE(LogMirrorContains("> TempFileName$=" + name));
}

TEST_F(TempWorkDirTest, DirectoryPathsAcceptBothSeparators) {
  const std::string back = tmp_.path() + "\\a\\b\\c";
  EXPECT_EQ(CreateDirectoryPath(back), 1);
  EXPECT_TRUE(fs::is_directory(tmp_ / "a/b/c"));
  EXPECT_TRUE(LogMirrorContains("> CreateDirectoryPath: Create Directory \"" + tmp_.path() +
                                "/a/b/c\" ............ OK"));
  EXPECT_EQ(CreateDirectoryPath(tmp_.path() + "/a/b/c/"), 1);

  test::WriteFileBytes(tmp_ / "file", "x");
  EXPECT_EQ(CreateDirectoryPath(tmp_.path() + "/file/sub"), 0);
  EXPECT_TRUE(LogMirrorContains("/file/sub\" ............ Error"));

  TakeLogMirror();
  CreateDirectoryTree(tmp_.path() + "\\t1/t2\\t3");
  EXPECT_TRUE(fs::is_directory(tmp_ / "t1/t2/t3"));
  const auto lines = TakeLogMirror();
  const std::vector<std::string> expected = {"> CreateDirectory " + tmp_.path() + "/t1/",
                                             "> CreateDirectory " + tmp_.path() + "/t1/t2/",
                                             "> CreateDirectory " + tmp_.path() + "/t1/t2/t3"};
  EXPECT_EQ(lines, expected);
  CreateDirectoryTree("");
  CreateDirectoryTree(tmp_ / "t1");  // exists: nothing logged
  EXPECT_TRUE(TakeLogMirror().empty());
}

}  // namespace
}  // namespace fk
