// The engine against servers that drop, reset, ignore Range, close early or
// send errors late; failed and cancelled downloads and what they leave.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "net/Http.h"
#include "tests/net/HttpEngineFixture.h"

namespace fk {
namespace {

using namespace httptest;
using test::HttpResource;
using test::HttpTestServer;

TEST_F(HttpEngine, ResumesFromTheExactByteAfterEveryDrop) {
  HttpTestServer s;
  HttpResource r = HttpTestServer::Pattern(64 * MiB);
  r.dropAfter = 5 * MiB;
  s.Add("/clover.7z", r);
  HTTPTransfer t = Record(s.Url("/clover.7z"), DEST_FILE);
  t.iBufferSize = 512 * 1024;
  t.CallbackWorking = MyCallWorking;
  ASSERT_EQ(HTTPGetFromWeb(t), WEB_OK);
  EXPECT_EQ(t.iTotBytesRead, 64 * MiB);
  EXPECT_EQ(Sha256OfFile(t.FullFileName), Sha256OfPattern(64 * MiB));
  std::vector<std::string> expected{""};
  for (int64_t at = 5 * MiB; at < 64 * MiB; at += 5 * MiB)
    expected.push_back("bytes=" + std::to_string(at) + "-" + std::to_string(64 * MiB - 1));
  EXPECT_EQ(RangesSeen(s), expected);
  EXPECT_EQ(t.iResumeAttemptsNumber, 12);
  EXPECT_EQ(pauses_, std::vector<int>(12, 1000));
  EXPECT_TRUE(ui_->HasStatus("8% ERROR, Attempt to resume downloading, #1 ..."));
  EXPECT_TRUE(LogMirrorContains("> -> HTTPGetFromWeb: Success add HttpAddRequestHeaders = Range: bytes=5242880-67108863"));
}

TEST_F(HttpEngine, ReadFailuresEndWith22WhenAttemptsRunOut) {
  HttpTestServer s;
  HttpResource r = HttpTestServer::Pattern(4 * MiB);
  r.dropAfter = 1 * MiB;
  s.Add("/f.bin", r);
  for (int max : {0, 2}) {
    SCOPED_TRACE(max);
    const size_t before = s.Requests().size();
    HTTPTransfer t = Record(s.Url("/f.bin"), DEST_FILE);
    t.iResumeMaxAttemptsNumber = max;
    EXPECT_EQ(HTTPGetFromWeb(t), WEB_RESUME_LIMIT);
    EXPECT_EQ(s.Requests().size() - before, static_cast<size_t>(max + 1));
    EXPECT_TRUE(LogMirrorContains("> -> HTTPGetFromWeb: iResumeMaxAttemptsNumber=" + std::to_string(max) +
                                  " reached"));
    EXPECT_FALSE(std::filesystem::exists(t.FullFileName));
    EXPECT_EQ(t.iTotBytesRead, 0);
  }
  // Out-of-range limits become 9999.
  HTTPTransfer t = Record(s.Url("/missing"), DEST_FILE);
  t.iResumeMaxAttemptsNumber = -1;
  HTTPGetFromWeb(t);
  EXPECT_EQ(t.iResumeMaxAttemptsNumber, 9999);
}

TEST_F(HttpEngine, AServerIgnoringTheRangeRestartsOnceThenEndsWith21) {
  HttpTestServer s;
  HttpResource ignoring = HttpTestServer::Pattern(2 * MiB);
  ignoring.dropAfter = MiB;
  ignoring.ignoreRange = true;
  s.Add("/ignore.bin", ignoring);  // drops every answer
  ignoring.dropTimes = 1;
  s.Add("/ignore-once.bin", ignoring);
  HttpResource wrongStart = HttpTestServer::Pattern(2 * MiB);
  wrongStart.dropAfter = MiB;
  wrongStart.dropTimes = 1;
  wrongStart.badContentRange = "bytes 0-2097151/2097152";
  s.Add("/wrong.bin", wrongStart);
  // Right start, but the part belongs to a body of another length.
  HttpResource otherTotal = wrongStart;
  otherTotal.badContentRange = "bytes 1048576-2097151/4194304";
  s.Add("/total.bin", otherTotal);

  // The whole body again on every resume: one restart from byte 0, then the end.
  HTTPTransfer t = Record(s.Url("/ignore.bin"), DEST_FILE);
  EXPECT_EQ(HTTPGetFromWeb(t), WEB_RESUME_REFUSED);
  EXPECT_EQ(t.iStatusCode, 200);
  EXPECT_EQ(s.Requests().size(), 3u);
  EXPECT_EQ(pauses_.size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(t.FullFileName));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 0);

  // A whole body that arrives in full after the restart is the file.
  t = Record(s.Url("/ignore-once.bin"), DEST_FILE);
  ASSERT_EQ(HTTPGetFromWeb(t), WEB_OK);
  EXPECT_TRUE(test::ReadFileBytes(t.FullFileName) == HttpTestServer::PatternBytes(0, 2 * MiB));
  std::filesystem::remove(t.FullFileName);

  for (const char* path : {"/wrong.bin", "/total.bin"}) {
    SCOPED_TRACE(path);
    const size_t before = s.Requests().size();
    t = Record(s.Url(path), DEST_FILE);
    EXPECT_EQ(HTTPGetFromWeb(t), WEB_RESUME_REFUSED);
    EXPECT_EQ(t.iStatusCode, 206);
    EXPECT_EQ(t.iResumeAttemptsNumber, 1);
    EXPECT_EQ(s.Requests().size() - before, 2u);
    EXPECT_FALSE(std::filesystem::exists(t.FullFileName));
  }
}

TEST_F(HttpEngine, AFileReplacedOnTheServerIsFetchedAgainWhole) {
  HttpTestServer s;
  HttpResource original = HttpTestServer::Pattern(2 * MiB);
  original.dropAfter = MiB;
  original.dropTimes = 1;
  original.etag = "\"v1\"";
  s.Add("/changed.bin", original);
  HttpResource replaced = HttpTestServer::Pattern(2 * MiB);
  replaced.fill = [](int64_t off, char* dst, size_t n) { HttpTestServer::PatternFill(off + 1, dst, n); };
  replaced.etag = "\"v2\"";
  SetPauseFunction([&](int) { s.Add("/changed.bin", replaced); });
  HTTPTransfer t = Record(s.Url("/changed.bin"), DEST_FILE);
  ASSERT_EQ(HTTPGetFromWeb(t), WEB_OK);
  EXPECT_EQ(s.Requests().at(1).Header("if-range"), "\"v1\"");
  EXPECT_TRUE(test::ReadFileBytes(t.FullFileName) == HttpTestServer::PatternBytes(1, 2 * MiB));
}

TEST_F(HttpEngine, CleanCloseMidBodyResumesAndALateErrorKeepsTheBody) {
  HttpTestServer s;
  HttpResource r = HttpTestServer::Pattern(3 * MiB + 11);
  r.dropAfter = MiB;
  r.dropTimes = 2;
  r.dropClean = true;
  s.Add("/clean.bin", r);
  HTTPTransfer t = Record(s.Url("/clean.bin"), DEST_FILE);
  ASSERT_EQ(HTTPGetFromWeb(t), WEB_OK);
  EXPECT_EQ(Sha256OfFile(t.FullFileName), Sha256OfPattern(3 * MiB + 11));
  EXPECT_EQ(RangesSeen(s), (std::vector<std::string>{"", "bytes=1048576-3145738", "bytes=2097152-3145738"}));

  // Every byte arrives, then the connection fails: the body is kept, not asked for again.
  HttpResource late = HttpTestServer::Pattern(300000);
  late.lateError = true;
  s.Add("/late.bin", late);
  for (int dest : {DEST_FILE, DEST_MEMORY}) {
    SCOPED_TRACE(dest);
    const size_t before = s.Requests().size();
    t = Record(s.Url("/late.bin"), dest);
    ASSERT_EQ(HTTPGetFromWeb(t), WEB_OK);
    EXPECT_EQ(t.iTotBytesRead, 300000);
    EXPECT_EQ(s.Requests().size() - before, 1u);
    EXPECT_TRUE(LogMirrorContains("> -> HTTPGetFromWeb: the whole body arrived before the connection failed"));
    const std::string body = dest == DEST_FILE ? test::ReadFileBytes(t.FullFileName)
                                               : std::string(t.Buffer.begin(), t.Buffer.end());
    EXPECT_TRUE(body == HttpTestServer::PatternBytes(0, 300000));
  }

  // Trailer lines after a chunked body do not start the answer over.
  HttpResource trailed = HttpTestServer::Pattern(200000);
  trailed.chunked = true;
  trailed.trailer = "X-Checksum: 1234\r\n";
  s.Add("/trailer.bin", trailed);
  starts_ = 0;
  t = Record(s.Url("/trailer.bin"), DEST_FILE);
  ASSERT_EQ(HTTPGetFromWeb(t), WEB_OK);
  EXPECT_EQ(starts_, 1);
  EXPECT_TRUE(test::ReadFileBytes(t.FullFileName) == HttpTestServer::PatternBytes(0, 200000));
}

TEST_F(HttpEngine, AFailedDownloadLeavesAnExistingFileAndLinksAlone) {
  HttpTestServer s;
  HttpResource dropping = HttpTestServer::Pattern(3 * MiB);
  dropping.dropAfter = MiB;
  s.Add("/drop.bin", dropping);
  s.Add("/ok.bin", HttpTestServer::Pattern(5000));
  const std::string target = dir_ / "dl.bin";
  test::WriteFileBytes(target, "the previous download");

  HTTPTransfer t = Record(s.Url("/missing.bin"), DEST_FILE);
  EXPECT_EQ(HTTPGetFromWeb(t), WEB_HTTP_STATUS);
  t = Record(s.Url("/drop.bin"), DEST_FILE);
  t.iResumeMaxAttemptsNumber = 1;
  // While the body arrives, the target name still holds the old file.
  t.CallbackWorking = [&](HTTPTransfer&, int64_t, int64_t, int64_t) {
    EXPECT_TRUE(test::ReadFileBytes(target) == "the previous download");
    return 1;
  };
  EXPECT_EQ(HTTPGetFromWeb(t), WEB_RESUME_LIMIT);
  EXPECT_TRUE(test::ReadFileBytes(target) == "the previous download");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);

  // A link at the target is replaced by the file, never written through.
  const std::string other = dir_ / "other.txt";
  test::WriteFileBytes(other, "not mine");
  std::filesystem::remove(target);
  std::filesystem::create_symlink(other, target);
  t = Record(s.Url("/ok.bin"), DEST_FILE);
  ASSERT_EQ(HTTPGetFromWeb(t), WEB_OK);
  EXPECT_EQ(test::ReadFileBytes(other), "not mine");
  EXPECT_FALSE(std::filesystem::is_symlink(target));
  EXPECT_TRUE(test::ReadFileBytes(target) == HttpTestServer::PatternBytes(0, 5000));

  // A directory of the target's name cannot be replaced.
  t = Record(s.Url("/ok.bin"), DEST_FILE);
  t.FullFileName = dir_.path();
  EXPECT_EQ(HTTPGetFromWeb(t), WEB_CREATE_FILE);
  EXPECT_TRUE(LogMirrorContains("Cannot create the file " + dir_.path() + " Error: Is a directory"));
}

TEST_F(HttpEngine, CancelEndsWith7AndDeletesThePartialFile) {
  HttpTestServer s;
  HttpResource r = HttpTestServer::Pattern(8 * MiB);
  r.trickleChunk = 64 * 1024;
  r.trickleDelayMs = 20;
  s.Add("/slow.bin", r);
  HttpResource stalled = HttpTestServer::Pattern(MiB);
  stalled.trickleChunk = 1000;
  stalled.trickleDelayMs = 30000;
  s.Add("/stalled.bin", stalled);

  // Seen by MyCallWorking after a read.
  HTTPTransfer t = Record(s.Url("/slow.bin"), DEST_FILE);
  t.iBufferSize = 65536;
  t.CallbackWorking = [](HTTPTransfer& x, int64_t got, int64_t size, int64_t el) {
    if (got >= 4 * 65536) test::CancelThisOperation();
    return MyCallWorking(x, got, size, el);
  };
  EXPECT_EQ(test::RunAsOperation([&] { EXPECT_EQ(HTTPGetFromWeb(t), WEB_ABORTED); }, OpKind::CloverDownload).outcome,
            OpOutcome::Cancelled);
  EXPECT_FALSE(std::filesystem::exists(t.FullFileName));
  EXPECT_TRUE(LogMirrorContains("> MyCallWorking: CancelMainThread=#True"));

  // A callback that throws ends the transfer instead of unwinding through libcurl,
  // also on the last read (delivered outside libcurl); the end callback still runs.
  for (int64_t throwAt : {int64_t{0}, 8 * MiB}) {
    ends_.clear();
    t = Record(s.Url("/slow.bin"), DEST_FILE);
    t.iBufferSize = static_cast<int>(3 * MiB);
    t.CallbackWorking = [throwAt](HTTPTransfer&, int64_t got, int64_t, int64_t) -> int {
      if (got >= throwAt) throw std::runtime_error("x");
      return 1;
    };
    EXPECT_EQ(HTTPGetFromWeb(t), WEB_ABORTED);
    EXPECT_EQ(ends_, std::vector<int>{WEB_ABORTED});
    EXPECT_FALSE(std::filesystem::exists(t.FullFileName));
    EXPECT_FALSE(t.busy.v.load());
  }

  // Also while the server sends nothing at all.
  t = Record(s.Url("/stalled.bin"), DEST_FILE);
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    GetRunner().Cancel(OpKind::CloverDownload);
  });
  const auto t0 = std::chrono::steady_clock::now();
  test::RunAsOperation([&] { EXPECT_EQ(HTTPGetFromWeb(t), WEB_ABORTED); }, OpKind::CloverDownload);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
  EXPECT_FALSE(std::filesystem::exists(t.FullFileName));

  // The operation's cancel (exit) stops a transfer without a progress callback.
  Runner runner;
  int code = 0;
  ASSERT_EQ(runner.Start(
                OpKind::RecoveryDownload,
                [&](OpContext&) {
                  HTTPTransfer x = Record(s.Url("/stalled.bin"), DEST_FILE);
                  x.CallbackWorking = nullptr;
                  code = HTTPGetFromWeb(x);
                  return OpResult::Done();
                },
                Settings{}),
            Runner::StartStatus::Started);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(runner.CancelAndJoinAll(15000));
  EXPECT_EQ(code, WEB_ABORTED);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 0);
}

}  // namespace
}  // namespace fk
