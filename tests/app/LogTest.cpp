#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "platform/SystemInfo.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      EXPECT_EQ(start, text.size()) << "text after the last CR LF";
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

TEST(Log, LinesCarryTimeStampBomAndCrLf) {
  test::TempDir dir("fk-log");
  const std::string path = dir / "FKLDebug.log";
  ASSERT_TRUE(OpenLog(path));
  Log("> Test: one");
  WriteLogHeader();
  CloseLog();
  Log("> after close");  // ignored

  const std::string text = test::ReadFileBytes(path);
  ASSERT_EQ(text.compare(0, 3, "\xEF\xBB\xBF"), 0);
  const auto lines = SplitCrLf(text.substr(3));
  ASSERT_EQ(lines.size(), 10u);
  const std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d> .*$)");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, stamp)) << l;
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(^.{12}> Log Date: \d\d\.\d\d\.\d{4}$)"))) << lines[0];
  EXPECT_EQ(lines[1].substr(12), "> Test: one");

  const std::string sep = "> " + std::string(66, '-');
  EXPECT_EQ(lines[2].substr(12), sep);
  EXPECT_EQ(lines[3].substr(12), "> Application: Flashkeel v2.1.028 Beta by Velk 05.07.2020");
  EXPECT_EQ(lines[4].substr(12), sep);
  EXPECT_TRUE(std::regex_match(lines[5].substr(12), std::regex(R"(^> System\t: Linux 64-bit \[.+ \d+\.\d+.*\]$)")))
      << lines[5];
  EXPECT_TRUE(std::regex_match(lines[6].substr(12), std::regex(R"(^> CPU\t: \S.*$)"))) << lines[6];
  EXPECT_TRUE(std::regex_match(lines[7].substr(12), std::regex(R"(^> Total RAM\t: \d+(\.\d\d)? [KMGT]?B$)")))
      << lines[7];
  EXPECT_TRUE(std::regex_match(lines[8].substr(12), std::regex(R"(^> Free  RAM\t: \d+(\.\d\d)? [KMGT]?B$)")))
      << lines[8];
  EXPECT_EQ(lines[9].substr(12), sep);
}

TEST(Log, LinesOfConcurrentThreadsNeverInterleave) {
  test::TempDir dir("fk-log");
  const std::string path = dir / "FKLDebug.log";
  ASSERT_TRUE(OpenLog(path));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string msg = "> Worker" + std::to_string(t) + ": " + std::string(200, static_cast<char>('a' + t));
      for (int i = 0; i < 500; ++i) Log(msg);
    });
  }
  for (auto& th : threads) th.join();
  CloseLog();
  const auto lines = SplitCrLf(test::ReadFileBytes(path).substr(3));
  ASSERT_EQ(lines.size(), 1u + 4 * 500);
  const std::regex well(R"(^.{12}> Worker(\d): ([a-d])\2{199}$)");
  for (size_t i = 1; i < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, well)) << lines[i];
    EXPECT_EQ(m[2].str()[0] - 'a', std::stoi(m[1].str()));
  }
}

TEST(Log, NeverFollowsLinksNorTruncatesForeignOrSharedFiles) {
  test::TempDir dir("fk-log");
  const std::string log = dir / "FKLDebug.log";
  // A link to another file: logging stays off and the target is untouched.
  test::WriteFileBytes(dir / "victim", "precious\n");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), log.c_str()), 0);
  EXPECT_FALSE(OpenLog(log));
  Log("> nowhere");
  EXPECT_EQ(test::ReadFileBytes(dir / "victim"), "precious\n");
  ::unlink(log.c_str());

  // A file that is not a log of ours (or has a second name) is appended to.
  test::WriteFileBytes(log, "not a log\n");
  ASSERT_TRUE(OpenLog(log));
  Log("> appended");
  CloseLog();
  std::string text = test::ReadFileBytes(log);
  EXPECT_EQ(text.rfind("not a log\n", 0), 0u) << text;
  EXPECT_NE(text.find("> appended\r\n"), std::string::npos);

  // Our own log starts afresh, unless another copy still has it open.
  ::unlink(log.c_str());
  ASSERT_TRUE(OpenLog(log));
  Log("> first run");
  CloseLog();
  const int other = ::open(log.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(other, LOCK_SH), 0);
  ASSERT_TRUE(OpenLog(log));
  Log("> second copy");
  CloseLog();
  ::close(other);
  text = test::ReadFileBytes(log);
  EXPECT_NE(text.find("> first run"), std::string::npos);
  EXPECT_NE(text.find("> second copy"), std::string::npos);
  ASSERT_TRUE(OpenLog(log));
  CloseLog();
  EXPECT_EQ(test::ReadFileBytes(log).find("> first run"), std::string::npos);
}

TEST(SystemInfo, LocaleNamesBecomeLanguageTags) {
  EXPECT_EQ(LocaleToMuiName("ru_RU.UTF-8"), "ru-RU");
  EXPECT_EQ(LocaleToMuiName("de_AT@euro"), "de-AT");
  EXPECT_EQ(LocaleToMuiName("fr"), "fr");
  EXPECT_EQ(LocaleToMuiName("C.UTF-8"), "");
  EXPECT_EQ(LocaleToMuiName("POSIX"), "");

  EXPECT_EQ(OSVersion(), 200);
  EXPECT_EQ(OSVersionName(OSVersion()), "Unknown");
  EXPECT_EQ(IsWow64(), 0);
}

}  // namespace
}  // namespace fk
