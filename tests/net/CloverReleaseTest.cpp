// The Clover release check against saved answers of the release site's REST
// API, served over https by a local server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <thread>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "net/CloverRelease.h"
#include "net/Http.h"
#include "net/RemoteUrls.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/TestCert.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

using test::HttpResource;
using test::HttpTestServer;

constexpr const char* kApiPath = "/repos/CloverHackyColor/CloverBootloader/releases";

std::string Fixture(const std::string& name) {
  return test::ReadFileBytes(std::string(FK_FIXTURES_DIR) + "/clover/" + name);
}

class CloverCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certDir_ = std::make_unique<test::TempDir>("fkclovercert");
    cert_ = std::make_unique<test::TestCert>();
    if (!test::HaveProgram("openssl") || !test::MakeTestCert(certDir_->path(), cert_.get())) cert_.reset();
  }
  static void TearDownTestSuite() {
    cert_.reset();
    certDir_.reset();
  }
  void SetUp() override {
    if (!cert_) GTEST_SKIP() << "no test certificate (openssl)";
    ResetSharedFlags();
    ResetSettings();
    Cfg().CloverLastRev = "5100";
    Cfg().CloverLastRevCheckDate = "01.02.20 10:00";
    Cfg().CloverRevList = {5100};
    ui_ = std::make_shared<ScriptedUi>();
    SetUi(ui_);
    SetPauseFunction([](int) {});
    server_ = std::make_unique<HttpTestServer>(HttpTestServer::Mode::Origin, cert_->certFile, cert_->keyFile);
    ::setenv(kEnvGithubApi, server_->Url("").c_str(), 1);
    ::setenv(kEnvCAFile, cert_->caFile.c_str(), 1);
  }
  void TearDown() override {
    GetRunner().JoinAll(10000);
    ::unsetenv(kEnvGithubApi);
    ::unsetenv(kEnvCAFile);
    SetPauseFunction(nullptr);
    SetUi(nullptr);
    ResetSettings();
  }
  HttpResource Json(const std::string& body) {
    HttpResource r = HttpTestServer::Bytes(body);
    r.contentType = "application/json; charset=utf-8";
    return r;
  }

  static std::unique_ptr<test::TempDir> certDir_;
  static std::unique_ptr<test::TestCert> cert_;
  std::shared_ptr<ScriptedUi> ui_;
  std::unique_ptr<HttpTestServer> server_;
};
std::unique_ptr<test::TempDir> CloverCheck::certDir_;
std::unique_ptr<test::TestCert> CloverCheck::cert_;

TEST_F(CloverCheck, ReleasesOfAllPagesGiveTheRevisionsHighestFirst) {
  HttpResource page1 = Json(Fixture("releases-page1.json"));
  page1.extraHeaders = "Link: <" + server_->Url("/page2") + ">; rel=\"next\", <" + server_->Url("/page2") +
                       ">; rel=\"last\"\r\n";
  server_->Add(kApiPath, page1);
  server_->Add("/page2", Json(Fixture("releases-page2.json")));

  CloverCheckOutcome o = CheckCloverLastRevThread(1);
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.message, "Found Latest Clover r5120");
  EXPECT_EQ(Cfg().CloverLastRev, "5120");
  EXPECT_EQ(Cfg().CloverDLRev, "5120");
  EXPECT_EQ(Cfg().CloverRevList, (std::vector<int>{5120, 5119, 999}));
  EXPECT_TRUE(std::regex_match(Cfg().CloverLastRevCheckDate, std::regex(R"(\d\d\.\d\d\.\d\d \d\d:\d\d)")))
      << Cfg().CloverLastRevCheckDate;
  EXPECT_EQ(ui_->ControlText(Control::Menu_LatestClover), " Latest Clover: r5120");
  EXPECT_TRUE(ui_->HasStatus("Found Latest Clover r5120"));

  auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, std::string(kApiPath) + "?per_page=100");
  EXPECT_EQ(requests[1].target, "/page2");
  EXPECT_EQ(requests[0].Header("user-agent").rfind("Flashkeel/", 0), 0u) << requests[0].Header("user-agent");

  // The expression applies to each name: two names on one line of text would
  // have been one greedy match.
  EXPECT_EQ(CloverRevisionsOf({"Clover-999-X64.iso.7z", "Clover-5120-X64.iso.7z", "Clover-5120-X64.iso.7z",
                               "Clover-5119-X64.iso.7z Clover-5121-X64.iso.7z", "CloverV2-5122.zip"}),
            (std::vector<int>{5120, 5119, 999}));
}

TEST_F(CloverCheck, FailedChecksKeepTheKnownRevision) {
  // A list without any archive: code 6 and the designed message.
  server_->Add(kApiPath, Json(Fixture("releases-no-archive.json")));
  CloverCheckOutcome o = CheckCloverLastRevThread(1);
  EXPECT_EQ(o.code, kCloverNoArchive);
  ASSERT_EQ(ui_->Boxes().size(), 1u);
  EXPECT_EQ(ui_->Boxes()[0].title, "Error");
  EXPECT_EQ(ui_->Boxes()[0].text, "Not Found standart Clover archive distribution file:\r\nClover-NNNN-X64.iso.7z");
  EXPECT_EQ(Cfg().CloverLastRev, "5100");
  EXPECT_EQ(Cfg().CloverRevList, std::vector<int>{5100});

  // The API's hourly limit: a 403 whose headers say no request is left.
  HttpResource limited;
  limited.status = 403;
  limited.extraHeaders = "X-RateLimit-Limit: 60\r\nX-RateLimit-Remaining: 0\r\nX-RateLimit-Reset: 1900000000\r\n";
  server_->Add(kApiPath, limited);
  o = CheckCloverLastRevThread(1);
  EXPECT_EQ(o.code, WEB_HTTP_STATUS);
  EXPECT_NE(o.message.find("request limit is reached: check again after "), std::string::npos) << o.message;
  EXPECT_TRUE(ui_->HasStatus(o.message));
  EXPECT_EQ(Cfg().CloverLastRev, "5100");
  EXPECT_EQ(Cfg().CloverLastRevCheckDate, "01.02.20 10:00");

  HttpResource broken;
  broken.status = 500;
  server_->Add(kApiPath, broken);
  o = CheckCloverLastRevThread(1);
  EXPECT_EQ(o.message, "HTTP status code = 500");
  EXPECT_EQ(Cfg().CloverLastRev, "5100");

  // Not a release list at all.
  server_->Add(kApiPath, Json("{\"message\": \"Moved\"}"));
  EXPECT_EQ(CheckCloverLastRevThread(1).code, kCloverNoArchive);
  EXPECT_EQ(Cfg().CloverLastRev, "5100");
}

TEST_F(CloverCheck, OneBackgroundCheckAtATime) {
  // A slow answer keeps the first check running.
  HttpResource slow = Json(Fixture("releases-page1.json"));
  slow.trickleChunk = 200;
  slow.trickleDelayMs = 100;
  server_->Add(kApiPath, slow);
  EXPECT_EQ(StartThread(1), 1);
  EXPECT_NE(flgNetThreadRunning.load(), 0);
  EXPECT_EQ(StartThread(1), 0);
  ASSERT_TRUE(GetRunner().JoinAll(30000));
  EXPECT_EQ(flgNetThreadRunning.load(), 0);
  EXPECT_EQ(server_->Requests().size(), 1u);
  EXPECT_TRUE(GetRunner().LastResult(OpKind::CloverCheck).ok());
  EXPECT_EQ(GetRunner().LastResult(OpKind::CloverCheck).message, "Found Latest Clover r5120");

  // The format run's own check runs on its thread beside a background check
  // and does not end the flag of that one.
  server_->Add(kApiPath, slow);
  HttpTestServer fast(HttpTestServer::Mode::Origin, cert_->certFile, cert_->keyFile);
  fast.Add(kApiPath, Json(Fixture("releases-page1.json")));
  ASSERT_EQ(StartThread(1), 1);
  for (int i = 0; i < 500 && server_->Requests().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::setenv(kEnvGithubApi, fast.Url("").c_str(), 1);
  EXPECT_EQ(CheckCloverLastRevThread(0).code, 1);
  EXPECT_EQ(flgNetThreadRunning.load(), 1);
  ASSERT_TRUE(GetRunner().JoinAll(30000));
  EXPECT_EQ(flgNetThreadRunning.load(), 0);
}

}  // namespace
}  // namespace fk
