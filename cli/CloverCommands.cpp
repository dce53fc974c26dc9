// flashkeel-cli clover check|list|download: the Clover release check, the local
// repository of archives, and downloading a release archive into it.
#include <cstdio>
#include <filesystem>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Utilities.h"
#include "cli/Commands.h"
#include "format/CloverDataSet.h"
#include "net/CloverRelease.h"
#include "net/Http.h"

namespace fk::cli {

namespace fs = std::filesystem;

namespace {

// The check as an operation; on success its revision data lands in the
// settings of this process (written to the file only by clover check).
OpResult RunCheck() {
  Runner& runner = GetRunner();
  runner.SetSettingsApplier([](std::function<void(Settings&)> change) { change(SavedSettings()); });
  OpResult r = runner.RunHere(
      OpKind::CloverCheck,
      [](OpContext&) {
        CloverCheckOutcome o = CheckCloverLastRevThread(1);
        return o.code == WEB_OK ? OpResult::Done(o.message) : OpResult::Failed(o.message);
      },
      Cfg());
  runner.SetSettingsApplier(nullptr);
  return r;
}

std::string RevListText(const std::vector<int>& revs) {
  std::string t;
  for (int r : revs) t += (t.empty() ? "" : " ") + std::to_string(r);
  return t;
}

int Check(CliUi& ui) {
  OpResult r = RunCheck();
  ui.FinishLine();
  if (!r.ok()) {
    std::fprintf(stderr, "flashkeel-cli: the Clover check failed: %s\n",
                 r.message.empty() ? "see the log" : r.message.c_str());
    return 1;
  }
  const Settings& s = SavedSettings();
  std::printf("Latest Clover: r%s\nRevisions: %s\n", s.CloverLastRev.c_str(), RevListText(s.CloverRevList).c_str());
  if (!SaveSetting()) {
    std::fprintf(stderr, "flashkeel-cli: the settings file could not be written: %s\n", SettingsFilePath().c_str());
    return 1;
  }
  return 0;
}

int List() {
  const std::string repo = Cfg().CloverLocalRepository;
  std::error_code ec;
  if (repo.empty() || !fs::is_directory(repo, ec)) {
    std::fprintf(stderr, "flashkeel-cli: no local Clover repository%s%s (give --repo DIR)\n", repo.empty() ? "" : ": ",
                 repo.c_str());
    return 1;
  }
  FindCloverLocalDistr();
  std::printf("Clover local repository: %s\n", repo.c_str());
  if (CloverLocalDistr.empty()) std::printf("  (no Clover archives)\n");
  const std::string selected = fs::path(CloverLocalSelectedName).filename().string();
  for (const CloverLocalDistrEntry& e : CloverLocalDistr) {
    std::printf("%c %-40s r%d%s\n", e.Name == selected ? '*' : ' ', e.Name.c_str(), e.Rev,
                e.Source.empty() ? "" : ("  (" + e.Source + ")").c_str());
  }
  return 0;
}

int Download(const Args& a, CliUi& ui) {
  const std::string repo = Cfg().CloverLocalRepository;
  std::error_code ec;
  if (repo.empty() || !fs::is_directory(repo, ec)) {
    // Never into whatever the current directory happens to be.
    std::fprintf(stderr, "flashkeel-cli: no local Clover repository%s%s (give --repo DIR)\n", repo.empty() ? "" : ": ",
                 repo.c_str());
    return 1;
  }
  std::string rev = a.rev;
  if (rev.empty()) {
    OpResult r = RunCheck();
    if (!r.ok()) {
      ui.FinishLine();
      std::fprintf(stderr, "flashkeel-cli: the Clover check failed: %s\n",
                   r.message.empty() ? "see the log" : r.message.c_str());
      return 1;
    }
    rev = Cfg().CloverLastRev;
  }
  Cfg().CloverDLRev = rev;
  // The archive lands in the operation's work directory, which goes with the
  // operation: it is checked and saved into the repository before that.
  CloverDownloadOutcome out;
  const fs::path target = fs::path(repo) / CloverArchiveName(rev);
  enum class Saved { No, NotLzma, Failed, Yes } saved = Saved::No;
  OpResult r = GetRunner().RunHere(
      OpKind::CloverDownload,
      [&out, &saved, &target](OpContext&) {
        out = GetCloverRevThread(0);
        if (out.code != WEB_OK) return OpResult::Failed("Can't download Latest Clover.");
        std::error_code ec;
        if (!Validate7zZIPFile(out.fileName)) {
          fs::remove(out.fileName, ec);
          saved = Saved::NotLzma;
          return OpResult::Failed("The downloaded file is not an LZMA file.");
        }
        // Copied under a temporary name first: a half-copied archive never carries the real name.
        const fs::path part = target.string() + ".part";
        fs::copy_file(out.fileName, part, fs::copy_options::overwrite_existing, ec);
        if (!ec) fs::rename(part, target, ec);
        std::error_code ignored;
        fs::remove(out.fileName, ignored);
        if (ec) {
          fs::remove(part, ignored);
          Log("> clover download: Error saving " + target.string() + " (" + ec.message() + ")");
          NoteFailureReason(ec.message());
          saved = Saved::Failed;
          return OpResult::Failed("cannot save " + target.string());
        }
        saved = Saved::Yes;
        return OpResult::Done();
      },
      Cfg());
  ui.FinishLine();
  if (saved == Saved::NotLzma) {
    std::fprintf(stderr, "flashkeel-cli: Error: The downloaded file is not an LZMA file.\n");
    return 1;
  }
  if (saved == Saved::Failed) {
    std::fprintf(stderr, "flashkeel-cli: cannot save %s (%s)\n", target.c_str(), TakeFailureReason().c_str());
    return 1;
  }
  if (!r.ok() || out.code != WEB_OK || saved != Saved::Yes) {
    HTTPTransfer t;
    t.FullFileName = out.fileName;
    std::fprintf(stderr, "flashkeel-cli: Clover r%s was not downloaded: %s\n", rev.c_str(),
                 HttpResultMessage(out.code, t).c_str());
    return 1;
  }
  Log("> clover download: saved " + target.string());
  std::printf("Saved %s (r%s)\n", target.c_str(), rev.c_str());
  return 0;
}

}  // namespace

int RunClover(const Args& a, CliUi& ui) {
  if (!a.repo.empty()) {
    std::error_code ec;
    fs::path p = fs::absolute(a.repo, ec);
    Cfg().CloverLocalRepository = ec ? a.repo : p.lexically_normal().string();
  }
  if (a.cloverAction == "check") return Check(ui);
  if (a.cloverAction == "list") return List();
  return Download(a, ui);
}

}  // namespace fk::cli
