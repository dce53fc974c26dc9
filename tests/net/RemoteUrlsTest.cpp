#include <gtest/gtest.h>

#include <cstdlib>

#include "app/AppState.h"
#include "net/Http.h"
#include "net/RemoteUrls.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestCert.h"
#include "tests/support/TestUtil.h"

namespace fk {
namespace {

TEST(RemoteUrls, DefaultsAndEnvironmentOverrides) {
  for (const char* v : {kEnvGithub, kEnvGithubApi, kEnvAppleCatalog, kEnvSite, kEnvCAFile}) ::unsetenv(v);
  EXPECT_EQ(GithubBaseUrl(), "https://github.com");
  EXPECT_EQ(GithubApiBaseUrl(), "https://api.github.com");
  EXPECT_EQ(AppleCatalogBaseUrl(), "https://swscan.apple.com");
  EXPECT_EQ(SiteBaseUrl(), "https://flashkeel.github.io");
  EXPECT_EQ(ExtraCAFile(), "");

  ::setenv(kEnvGithub, "https://127.0.0.1:8443/", 1);
  ::setenv(kEnvGithubApi, "https://127.0.0.1:9443/api//", 1);
  ::setenv(kEnvAppleCatalog, "http://mirror.lan", 1);
  ::setenv(kEnvSite, "", 1);  // empty counts as unset
  EXPECT_EQ(GithubBaseUrl(), "https://127.0.0.1:8443");
  EXPECT_EQ(GithubApiBaseUrl(), "https://127.0.0.1:9443/api");
  EXPECT_EQ(AppleCatalogBaseUrl(), "http://mirror.lan");
  EXPECT_EQ(SiteBaseUrl(), "https://flashkeel.github.io");

  const std::string cat = "https://swscan.apple.com/content/catalogs/index.sucatalog";
  EXPECT_EQ(RebaseUrl(cat, kDefaultAppleCatalog, AppleCatalogBaseUrl()), "http://mirror.lan/content/catalogs/index.sucatalog");
  EXPECT_EQ(RebaseUrl("https://swscan.apple.community/x", kDefaultAppleCatalog, "http://m"),
            "https://swscan.apple.community/x");
  EXPECT_EQ(RebaseUrl("https://other.host/x", kDefaultAppleCatalog, "http://m"), "https://other.host/x");
  for (const char* v : {kEnvGithub, kEnvGithubApi, kEnvAppleCatalog, kEnvSite}) ::unsetenv(v);
}

TEST(RemoteUrls, CAFileFromTheEnvironmentIsTrusted) {
  if (!test::HaveProgram("openssl")) GTEST_SKIP() << "openssl missing";
  test::TempDir dir{"fkca"};
  test::TestCert cert;
  std::string err;
  ASSERT_TRUE(test::MakeTestCert(dir.path(), &cert, &err)) << err;
  test::HttpTestServer s(test::HttpTestServer::Mode::Origin, cert.certFile, cert.keyFile);
  s.Add("/x.txt", test::HttpTestServer::Bytes("hello"));
  ResetSharedFlags();
  SetHttpEngineOptions(HttpEngineOptions{});

  HTTPTransfer t;
  t.URL = s.Url("/x.txt");
  t.iDestination = DEST_MEMORY;
  ::unsetenv(kEnvCAFile);
  EXPECT_EQ(HTTPGetFromWeb(t), WEB_SEND);  // unknown issuer
  ::setenv(kEnvCAFile, cert.caFile.c_str(), 1);
  t = HTTPTransfer{};
  t.URL = s.Url("/x.txt");
  t.iDestination = DEST_MEMORY;
  EXPECT_EQ(HTTPGetFromWeb(t), WEB_OK);
  EXPECT_EQ(std::string(t.Buffer.begin(), t.Buffer.end()), "hello");
  ::unsetenv(kEnvCAFile);
}

}  // namespace
}  // namespace fk
