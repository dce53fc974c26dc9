// Start-up's Clover step: the background check when configured, its result
// handed back to the settings the exit sequence saves.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "app/AppState.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "gui/CoreActions.h"
#include "net/RemoteUrls.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestCert.h"
#include "tests/support/TestUtil.h"

namespace fk::gui {
namespace {

TEST(CloverStartup, CheckAtStartUpUpdatesTheSavedSettings) {
  if (!test::HaveProgram("openssl")) GTEST_SKIP() << "openssl missing";
  test::TempDir dir{"fkguiclv"};
  test::TestCert cert;
  ASSERT_TRUE(test::MakeTestCert(dir.path(), &cert));
  test::HttpTestServer server(test::HttpTestServer::Mode::Origin, cert.certFile, cert.keyFile);
  server.Add("/repos/CloverHackyColor/CloverBootloader/releases",
             test::HttpTestServer::Bytes(
                 test::ReadFileBytes(std::string(FK_FIXTURES_DIR) + "/clover/releases-page1.json")));
  ::setenv(kEnvGithubApi, server.Url("").c_str(), 1);
  ::setenv(kEnvCAFile, cert.caFile.c_str(), 1);
  ResetSharedFlags();
  ResetSettings();
  // As the GUI does: changes of operations are applied on the GUI thread.
  std::mutex mutex;
  std::vector<std::function<void(Settings&)>> changes;
  GetRunner().SetSettingsApplier([&](std::function<void(Settings&)> change) {
    std::lock_guard lock(mutex);
    changes.push_back(std::move(change));
  });
  {
    CoreRuntime runtime;
    GuiActions a = runtime.Actions();
    ASSERT_TRUE(a.startupCloverCheck);

    // Not configured: only the saved revision joins the list.
    Cfg().CloverLastRev = "5100";
    a.startupCloverCheck();
    EXPECT_EQ(Cfg().CloverRevList, std::vector<int>{5100});
    EXPECT_TRUE(server.Requests().empty());

    Cfg().CheckLatestCloverAtStartup = 1;
    a.startupCloverCheck();
    QElapsedTimer t;
    t.start();
    while (SavedSettings().CloverLastRev != "5120" && t.elapsed() < 20000) {
      {
        std::lock_guard lock(mutex);
        for (auto& c : changes) c(SavedSettings());
        changes.clear();
      }
      QApplication::processEvents(QEventLoop::AllEvents, 20);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(SavedSettings().CloverLastRev, "5120");
    EXPECT_EQ(SavedSettings().CloverRevList, (std::vector<int>{5120, 5119}));
    EXPECT_EQ(SavedSettings().CloverDLRev, "5120");
    GetRunner().JoinAll(10000);
  }
  GetRunner().SetSettingsApplier(nullptr);
  ::unsetenv(kEnvGithubApi);
  ::unsetenv(kEnvCAFile);
  ResetSettings();
}

}  // namespace
}  // namespace fk::gui
