// dl update | list | get N: the additional downloads on the command line.
#include <cstdio>
#include <filesystem>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Utilities.h"
#include "cli/Commands.h"
#include "net/AdditionalDownloads.h"

namespace fk::cli {

namespace {

// The program's list as the last "dl update" fetched it.
std::string KeptListPath() { return Paths().ProgramDir + "DLList.ini"; }

std::vector<AdditionalDLEntry> BothLists() {
  std::vector<AdditionalDLEntry> list;
  LoadAdditionalDLList(UserDLPath(), 1, list);
  LoadAdditionalDLList(KeptListPath(), 0, list);
  return list;
}

bool IsHeader(const AdditionalDLEntry& e) { return e.Name == kUserDLHeader || e.Name == kFklDLHeader; }

// Header lines as titles, entries numbered from 1 across both lists.
void PrintLists(const std::vector<AdditionalDLEntry>& list) {
  int n = 0;
  for (const AdditionalDLEntry& e : list) {
    if (IsHeader(e) && e.URL.empty()) {
      std::printf("%s\n", e.Name.c_str() + 1);
      continue;
    }
    std::printf("  [%d] %s\n", ++n, AdditionalDLRowText(e).c_str());
  }
  if (n == 0) std::printf("  (no entries; 'flashkeel-cli dl update' fetches the program's list)\n");
}

}  // namespace

int RunDl(const Args& a, CliUi& ui) {
  if (a.command == Command::DlUpdate) {
    const OpResult r = GetRunner().RunHere(
        OpKind::AdditionalListUpdate, [](OpContext&) { return CheckAdditionalDownloadsThread(KeptListPath()); },
        Cfg());
    ui.FinishLine();
    if (!r.ok()) {
      std::fprintf(stderr, "flashkeel-cli: %s\n", r.message.c_str());
      return 1;
    }
    PrintLists(AdditionalDL());
    return 0;
  }
  const std::vector<AdditionalDLEntry> list = BothLists();
  if (a.command == Command::DlList) {
    PrintLists(list);
    return 0;
  }
  std::vector<const AdditionalDLEntry*> entries;
  for (const AdditionalDLEntry& e : list)
    if (!(IsHeader(e) && e.URL.empty())) entries.push_back(&e);
  const size_t n = static_cast<size_t>(std::stoul(a.words[0]));
  if (n < 1 || n > entries.size()) {
    std::fprintf(stderr, "flashkeel-cli: no download %zu; 'flashkeel-cli dl list' shows %zu\n", n, entries.size());
    return 1;
  }
  Settings snapshot = Cfg();
  if (!a.toDir.empty()) {
    std::error_code ec;
    const auto dir = std::filesystem::absolute(a.toDir, ec);
    snapshot.CloverLocalRepository = (ec ? a.toDir : dir.lexically_normal().string());
  }
  const AdditionalDLEntry entry = *entries[n - 1];
  Log("> flashkeel-cli: dl get " + std::to_string(n) + ": " + entry.Name);
  const OpResult r = GetRunner().RunHere(
      OpKind::AdditionalDownload, [&entry](OpContext&) { return DLAdditionalDownload(entry); }, std::move(snapshot));
  ui.FinishLine();
  if (r.ok()) {
    std::printf("Saved %s\n", r.message.c_str());
    return 0;
  }
  if (r.outcome == OpOutcome::Cancelled) std::printf("Download cancelled\n");
  else std::fprintf(stderr, "flashkeel-cli: %s failed: %s\n", entry.Name.c_str(), r.message.c_str());
  return 1;
}

}  // namespace fk::cli
