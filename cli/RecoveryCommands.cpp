// flashkeel-cli recovery update / recovery list: the Recovery HD list without the GUI.
#include <cstdio>

#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "cli/Commands.h"
#include "net/RecoveryHDList.h"

namespace fk::cli {

void PrintRecoveryList(std::FILE* out) {
  const auto& list = Cfg().RecoveryHDSourceList;
  if (list.empty()) {
    std::fprintf(out, "The Recovery HD list is empty; 'flashkeel-cli recovery update' fills it.\n");
    std::fflush(out);
    return;
  }
  std::fprintf(out, "%-4s %-10s %-11s %-10s %s\n", "No.", "Build", "Date", "Size", "Name");
  for (size_t i = 0; i < list.size(); ++i) {
    const RecoveryHDNameParts p = ParseRecoveryHDName(list[i].Name);
    std::fprintf(out, "%-4zu %-10s %-11s %-10s %s\n", i + 1, p.build.empty() ? "-" : p.build.c_str(),
                 p.date.empty() ? "-" : p.date.c_str(), p.size.empty() ? "-" : p.size.c_str(),
                 list[i].Name.c_str());
    std::fprintf(out, "     %s\n", list[i].URL.c_str());
  }
  std::fflush(out);
}

int RunRecoveryList(const Args&, CliUi&) {
  PrintRecoveryList(stdout);
  return 0;
}

int RunRecoveryUpdate(const Args&, CliUi& ui) {
  Runner& runner = GetRunner();
  // The CLI keeps the saved settings itself: the finished list goes there and
  // into the settings file.
  runner.SetSettingsApplier([](std::function<void(Settings&)> change) { change(SavedSettings()); });
  std::printf("Reading %zu software update catalogs\n", Cfg().SUCatalogURLList.size());
  std::fflush(stdout);
  auto onCatalog = [&ui](const CatalogReport& c) {
    ui.FinishLine();
    if (c.error.empty())
      std::printf("[%d/%d] %s: %d new Recovery HD package%s\n", c.index, c.total, c.entry.Name.c_str(), c.found,
                  c.found == 1 ? "" : "s");
    else
      std::printf("[%d/%d] %s: failed: %s\n", c.index, c.total, c.entry.Name.c_str(), c.error.c_str());
    std::fflush(stdout);
  };
  const OpResult r = runner.RunHere(
      OpKind::CatalogUpdate, [&](OpContext& ctx) { return UpdateRecoveryHDListThread(ctx, onCatalog); },
      SavedSettings());
  runner.SetSettingsApplier(nullptr);
  ui.FinishLine();
  if (!r.message.empty()) std::fprintf(r.ok() ? stdout : stderr, "%s\n", r.message.c_str());
  if (!r.ok()) return 1;
  PrintRecoveryList(stdout);
  // The update has saved the list already; saving once more tells whether the
  // file could be written.
  if (!SaveSetting()) {
    std::fprintf(stderr, "flashkeel-cli: the settings file %s could not be written (see the log)\n",
                 SettingsFilePath().c_str());
    return 1;
  }
  std::printf("Saved in %s\n", SettingsFilePath().c_str());
  return 0;
}

}  // namespace fk::cli
