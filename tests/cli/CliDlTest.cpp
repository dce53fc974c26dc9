// flashkeel-cli dl update | list | get against a local https server serving
// the program's own list and the files it names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "net/RemoteUrls.h"
#include "tests/cli/CliRun.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestCert.h"

namespace fk::test {
namespace {

const std::string kSite = std::string(FK_SOURCE_DIR) + "/resources/site/files/AdditionalDL/";

TEST(CliDl, UpdateListAndGet) {
  if (!HaveProgram("openssl")) GTEST_SKIP() << "openssl missing";
  TempDir dir("fkclidl");
  CliHome home(dir / "home");
  TestCert cert;
  std::string err;
  ASSERT_TRUE(MakeTestCert(dir.path(), &cert, &err)) << err;
  HttpTestServer server(HttpTestServer::Mode::Origin, cert.certFile, cert.keyFile);
  for (const char* f : {"DLList.ini", "Flashkeel-HowTo.txt", "flashkeel.svg"})
    server.Add(std::string("/files/AdditionalDL/") + f, HttpTestServer::Bytes(ReadFileBytes(kSite + f)));
  ::setenv(kEnvSite, server.Url("").c_str(), 1);
  ::setenv(kEnvCAFile, cert.caFile.c_str(), 1);
  WriteFileBytes(home.dir() + "/UserDL.ini", "[Mine]\r\nDescription=no address\r\n");

  CliResult r = home.Run("dl update");
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("-- User Downloads\n  [1] Mine: no address\n-- FKL Additional Downloads\n"
                       "  [2] Flashkeel How-To 510 B: Making a Clover drive"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(home.Run("dl list").out, r.out.substr(r.out.find("-- User Downloads")));
  // A page that is no list fails the update and leaves the kept list alone.
  const std::string listed = home.Run("dl list").out;
  server.Add("/files/AdditionalDL/DLList.ini", HttpTestServer::Bytes("<html>portal login</html>"));
  EXPECT_NE(home.Run("dl update").rc, 0);
  EXPECT_EQ(home.Run("dl list").out, listed);
  server.Add("/files/AdditionalDL/DLList.ini", HttpTestServer::Bytes(ReadFileBytes(kSite + "DLList.ini")));

  const std::string to = dir / "repo";
  r = home.Run("dl get 3 --to " + to);
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(to + "/Icons/flashkeel.svg"), ReadFileBytes(kSite + "flashkeel.svg"));
  r = home.Run("dl get 2 --to " + to);
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(ReadFileBytes(to + "/Flashkeel-HowTo.txt"), ReadFileBytes(kSite + "Flashkeel-HowTo.txt"));
  EXPECT_NE(home.Run("dl get 2 --to " + to).rc, 0) << "an existing file is kept";
  EXPECT_NE(home.Run("dl get 9").rc, 0);
  for (const char* v : {kEnvSite, kEnvCAFile}) ::unsetenv(v);
}

}  // namespace
}  // namespace fk::test
