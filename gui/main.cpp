// flashkeel: the Qt 6 GUI program.
//
// Options not shown to users: "--image FILE" (repeatable) lists a disk image
// file as a disk (shown while the EnableFixedDisks setting is 1);
// "--screenshot FILE" saves a picture of the main window shortly after
// start-up and ends the program; "--screenshot-config FILE" does the same
// for the Configuration window, "--screenshot-dlcenter FILE" for the Download
// Center after it has updated the additional-downloads list.
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cstring>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "gui/ConfigWindow.h"
#include "gui/CoreActions.h"
#include "gui/DownloadCenterWindow.h"
#include "gui/GuiApp.h"
#include "app/Runner.h"

namespace {

// Opens the Download Center, updates the additional-downloads list through
// its Update button, shows the first row that names a file of the program's
// list and saves the window to file.
void ScreenshotDownloadCenter(const std::string& file) {
  auto* w = fk::gui::OpenDownloadCenter(fk::gui::FindMainWindow());
  w->findChild<QRadioButton*>(QStringLiteral("Option_DownloadCenter_Additional"))->click();
  w->findChild<QPushButton*>(QStringLiteral("Button_DownloadCenterUpdate"))->click();
  auto* poll = new QTimer(w);
  QObject::connect(poll, &QTimer::timeout, w, [w, poll, file] {
    if (fk::GetRunner().AnyRunning()) return;
    poll->stop();
    const auto& rows = w->AdditionalRows();
    auto* list = w->findChild<QComboBox*>(QStringLiteral("Combobox_DownloadCenter_SelectAdditionalDL"));
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].flgUser == 0 && !rows[i].URL.empty()) {
        list->setCurrentIndex(static_cast<int>(i));
        break;
      }
    }
    QTimer::singleShot(300, w, [w, file] {
      w->grab().save(QString::fromStdString(file));
      w->close();
      fk::ExitRequested = 1;
    });
  });
  poll->start(100);
}

}  // namespace

int main(int argc, char** argv) {
  fk::gui::CoreRuntime::Options options;
  std::vector<char*> args;
  std::string configShot, dlShot;
  for (int i = 0; i < argc; ++i) {
    if (i + 1 < argc && std::strcmp(argv[i], "--image") == 0) {
      options.imageDisks.emplace_back(argv[++i]);
    } else if (i + 1 < argc && std::strcmp(argv[i], "--screenshot") == 0) {
      options.screenshot = argv[++i];
    } else if (i + 1 < argc && std::strcmp(argv[i], "--screenshot-config") == 0) {
      configShot = argv[++i];
    } else if (i + 1 < argc && std::strcmp(argv[i], "--screenshot-dlcenter") == 0) {
      dlShot = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  fk::gui::CoreRuntime runtime(std::move(options));
  fk::gui::GuiActions actions = runtime.Actions();
  if (!configShot.empty()) {
    actions.afterStart = [configShot] {
      QTimer::singleShot(600, [configShot] {
        auto* w = fk::gui::OpenConfigWindow(fk::gui::FindMainWindow(), fk::gui::DefaultConfigHooks());
        QTimer::singleShot(400, [w, configShot] {
          w->grab().save(QString::fromStdString(configShot));
          fk::ExitRequested = 1;
        });
      });
    };
  }
  if (!dlShot.empty()) {
    actions.afterStart = [dlShot] { QTimer::singleShot(600, [dlShot] { ScreenshotDownloadCenter(dlShot); }); };
  }
  return fk::gui::GuiMain(n, args.data(), actions);
}
