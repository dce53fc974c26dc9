// flashkeel: the Qt 6 GUI program.
//
// Options not shown to users: "--image FILE" (repeatable) lists a disk image
// file as a disk (shown while the EnableFixedDisks setting is 1);
// "--screenshot FILE" saves a picture of the main window shortly after
// start-up and ends the program; "--screenshot-config FILE" does the same
// for the Configuration window.
#include <QTimer>
#include <cstring>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "gui/ConfigWindow.h"
#include "gui/CoreActions.h"
#include "gui/GuiApp.h"

int main(int argc, char** argv) {
  fk::gui::CoreRuntime::Options options;
  std::vector<char*> args;
  std::string configShot;
  for (int i = 0; i < argc; ++i) {
    if (i + 1 < argc && std::strcmp(argv[i], "--image") == 0) {
      options.imageDisks.emplace_back(argv[++i]);
    } else if (i + 1 < argc && std::strcmp(argv[i], "--screenshot") == 0) {
      options.screenshot = argv[++i];
    } else if (i + 1 < argc && std::strcmp(argv[i], "--screenshot-config") == 0) {
      configShot = argv[++i];
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
  return fk::gui::GuiMain(n, args.data(), actions);
}
