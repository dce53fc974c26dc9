#include "format/CloverDataSet.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "format/Packs.h"
#include "net/CloverRelease.h"
#include "net/Http.h"
#include "platform/Process.h"

namespace fk {

namespace fs = std::filesystem;

std::vector<CloverLocalDistrEntry> CloverLocalDistr;
std::string CloverLocalSelectedName;
std::string CloverLocalSelectedRev;

namespace {

std::string FileNameOf(const std::string& path) { return fs::path(path).filename().string(); }

// Extension after the last '.', as written (case-sensitive).
std::string ExtensionOf(const std::string& name) {
  auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string WithoutLastExtension(const std::string& name) {
  auto dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

struct ArchiveReader {
  archive* a = archive_read_new();
  ~ArchiveReader() { archive_read_free(a); }
};

// Leading decimal number of text, 0 when none.
int LeadingInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  long long v = 0;
  bool any = false;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && v < 100000000) {
    v = v * 10 + (text[i] - '0');
    ++i;
    any = true;
  }
  return any ? static_cast<int>(v) : 0;
}

}  // namespace

int Validate7zZIPFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  const std::string name = FileNameOf(path);
  if (!in || ec || size == 0) {
    Log("> Validate7zZIPFile: Not valid format for archive file: " + name);
    NoteFailureReason(ec ? "cannot read " + name + " (" + ec.message() + ")" : name + " is empty or cannot be read");
    return 0;
  }
  unsigned char b[2] = {0, 0};
  in.read(reinterpret_cast<char*>(b), 2);
  const unsigned word = b[0] | (b[1] << 8);
  if (in.gcount() == 2 && word == 0x4B50) {
    Log("> Validate7zZIPFile: Found ZIP archive file: " + name);
    return 1;
  }
  if (in.gcount() == 2 && word == 0x7A37) {
    Log("> Validate7zZIPFile: Found 7z archive file: " + name);
    return 1;
  }
  Log("> Validate7zZIPFile: Not valid format for archive file: " + name);
  NoteFailureReason(name + " is not a ZIP or 7z archive");
  return 0;
}

int TestDataZip(const std::string& zipPath) {
  if (zipPath.empty()) {
    Log("> TestDataZip: " + zipPath + " absent");
    return 0;
  }
  if (CurrentOpStopped()) {
    Log("> TestDataZip: Cancel(FormatStatus=#True)");
    return 0;
  }
  ArchiveReader r;
  archive_read_support_format_zip(r.a);
  if (archive_read_open_filename(r.a, zipPath.c_str(), 65536) != ARCHIVE_OK) {
    Log("> TestDataZip: Can't OpenPack zip");
    return 0;
  }
  int revision = 0;
  archive_entry* e = nullptr;
  int rc;
  while ((rc = archive_read_next_header(r.a, &e)) == ARCHIVE_OK) {
    if (CurrentOpStopped()) {
      Log("> TestDataZip: Cancel(FormatStatus=#True)");
      return 0;
    }
    const char* name = archive_entry_pathname(e);
    if (!name || std::string(name) != "boot") continue;
    // Clover's boot file is a few hundred KiB; the revision line sits in its text part.
    const int64_t recorded = archive_entry_size_is_set(e) ? archive_entry_size(e) : -1;
    std::string data;
    char buf[65536];
    la_ssize_t n;
    while ((n = archive_read_data(r.a, buf, sizeof buf)) > 0 && data.size() < (64u << 20))
      data.append(buf, static_cast<size_t>(n));
    if (n < 0 || (recorded >= 0 && static_cast<int64_t>(data.size()) != recorded)) {
      Log("> TestDataZip: Error Uncompress file: boot, Size: " + std::to_string(recorded) + " ERROR SIZE");
      break;
    }
    std::string lower = data;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t lineStart = 0;
    while (lineStart < lower.size()) {
      size_t lineEnd = lower.find_first_of("\r\n", lineStart);
      if (lineEnd == std::string::npos) lineEnd = lower.size();
      size_t hit = lower.find("clover revision: ", lineStart);
      if (hit != std::string::npos && hit < lineEnd) {
        revision = LeadingInt(data.substr(hit + 17, lineEnd - hit - 17));
        break;
      }
      lineStart = lineEnd + 1;
    }
    break;
  }
  if (rc != ARCHIVE_OK && rc != ARCHIVE_EOF && revision == 0) Log("> TestDataZip: Can't examine the zip pack content");
  return revision;
}

int FindCloverLocalDistr() {
  CloverLocalDistr.clear();
  const std::string repo = Cfg().CloverLocalRepository;
  std::error_code ec;
  fs::directory_iterator it(repo, ec);
  if (ec || repo.empty()) return 0;
  for (const auto& entry : it) {
    if (CancelRequested()) return 0;
    if (!entry.is_regular_file(ec)) continue;
    const std::string name = entry.path().filename().string();
    const std::string ext = ExtensionOf(name);
    CloverLocalDistrEntry d;
    d.Name = name;
    if (ext == "zip") {
      if (!Validate7zZIPFile(entry.path().string())) continue;
      d.Rev = TestDataZip(entry.path().string());
      if (d.Rev == 0) continue;
    } else if (ext == "7z") {
      if (!Validate7zZIPFile(entry.path().string())) continue;
      // "Clover-5119-X64.iso.7z": the second "-" field of the name without its last extension.
      const std::string base = WithoutLastExtension(name);
      auto first = base.find('-');
      d.Rev = first == std::string::npos ? 0 : LeadingInt(base.substr(first + 1));
      d.Source = "User's file";
    } else {
      continue;
    }
    Log("> FindCloverLocalDistr --> " + d.Name + " (Rev." + std::to_string(d.Rev) + ")");
    CloverLocalDistr.push_back(d);
  }
  if (CloverLocalDistr.empty()) return 0;
  std::stable_sort(CloverLocalDistr.begin(), CloverLocalDistr.end(),
                   [](const auto& a, const auto& b) { return a.Rev > b.Rev; });
  std::string dir = repo;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  CloverLocalSelectedName = dir + CloverLocalDistr.front().Name;
  CloverLocalSelectedRev = std::to_string(CloverLocalDistr.front().Rev);
  return 1;
}

namespace {

void LogWorkDirEntries(const std::string& dir) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::error_code sec;
    auto size = e.is_regular_file(sec) ? static_cast<int64_t>(e.file_size(sec)) : 0;
    Log("> " + e.path().filename().string() + " - Size in byte: " + std::to_string(size));
  }
}

int ErrorBox(const std::string& text, const std::string& title, const std::string& why = "") {
  GetUi().MessageBox(title, text, MsgButtons::Ok, MsgIcon::Error);
  NoteFailureReason(why.empty() ? text : text + " (" + why + ")");
  return 0;
}

}  // namespace

namespace {

std::atomic<int> g_downloadTimeoutMs{kCloverDownloadTimeoutMs};

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

bool ValidRevisionText(const std::string& rev) {
  return !rev.empty() && rev.size() <= 8 &&
         std::all_of(rev.begin(), rev.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The user or the operation asked to stop the run.
bool RunCancelled() { return CurrentOpStopped(); }

// The work directory with the unpacking script in it; "" after the failure was shown.
std::string PrepareWorkDir() {
  if (!CreateTempWorkDir()) {
    ErrorBox("Can't create TEMP folder!" + FklTempWorkDir(), "Error!", "see the log");
    return {};
  }
  const std::string work = FklTempWorkDir();
  if (!ExtractPack(kPackUnpackCloverISO, work, 0, 1)) {
    ErrorBox("Can't Unpack Internal Resources!", "Error");
    return {};
  }
  LogWorkDirEntries(work);
  return work;
}

// Turns the ".iso.7z" archiveName in work into the FKL-ready ZIP readyName with
// the unpacking script, then cleans the work directory. False after the failure
// was shown.
bool ConvertIsoArchive(const std::string& work, const std::string& archiveName, const std::string& readyName) {
  LogWorkDirEntries(work);
  Log("> DLAndExtractCloverFromCloverDistrISO: CloverFKLReadyDistrTempName$=" + readyName);
  Log("> DLAndExtractCloverFromCloverDistrISO: FklTempWorkDir$=" + work);
  Log("> DLAndExtractCloverFromCloverDistrISO: RunProgram(" + work + "Unpack_Clover_ISO.sh, " + archiveName + ", " +
      work + ")");
  ProcessRequest req;
  req.argv = {"sh", work + "Unpack_Clover_ISO.sh", archiveName};
  req.workDir = work;
  // A Cancel of the run stops the unpacking (the whole process group).
  req.cancel = [] { return CurrentOpStopped(); };
  std::string collected;
  req.onLine = [&](std::string_view line) {
    collected.append(line);
    collected += '\r';
  };
  ProcessResult pr = RunProcess(req);
  if (!pr.started) {
    Log("> DLAndExtractCloverFromCloverDistrISO: Error Run Extract Latest Clover Data Set.");
    ErrorBox("Error Run Extract Latest Clover Data Set.", "Error ! ", pr.errorText);
    return false;
  }
  if (pr.cancelled) {
    Log("> DLAndExtractCloverFromCloverDistrISO: Cancel(FormatStatus=#True)");
    return false;
  }
  Log("> DLAndExtractCloverFromCloverDistrISO: Exitcode: " + std::to_string(pr.exitCode));
  if (pr.exitCode != 0) {
    Log("> DLAndExtractCloverFromCloverDistrISO: Error During Extract Latest Clover Data Set.");
    Log("> DLAndExtractCloverFromCloverDistrISO: script output: " + collected);
    ErrorBox("Error During Extract Latest Clover Data Set.", "Error!", "exit code " + std::to_string(pr.exitCode));
    return false;
  }
  // Clean the work directory: the unpack folder, the archive copy and the script.
  std::error_code ec;
  fs::remove_all(work + WithoutLastExtension(archiveName), ec);
  for (const auto& e : fs::directory_iterator(work, ec)) {
    const std::string n = e.path().filename().string();
    if (n.rfind("7z.", 0) == 0 || (n.size() > 3 && n.compare(n.size() - 3, 3, ".sh") == 0) || n == archiveName)
      fs::remove(e.path(), ec);
  }
  if (!fs::exists(readyName, ec)) {
    Log("> DLAndExtractCloverFromCloverDistrISO: Error: the script made no " + readyName);
    ErrorBox("Error During Extract Latest Clover Data Set.", "Error!");
    return false;
  }
  return true;
}

// Extracts the FKL-ready ZIP to Destination; a freshly downloaded one is then
// saved to the local repository when SaveLatestCloverAfterDL is 1.
int ExtractReadyZip(const std::string& readyName, const std::string& Destination, bool downloaded) {
  int result = 0;
  std::error_code ec;
  if (fs::exists(readyName, ec) && ExtractDataZip(nullptr, 0, Destination, 0, readyName, 1, 0)) {
    result = 1;
    if (downloaded && Cfg().SaveLatestCloverAfterDL == 1) {
      const std::string repo = Cfg().CloverLocalRepository;
      if (repo.empty()) {
        // Never into whatever the current directory happens to be.
        Log("> DLAndExtractCloverFromCloverDistrISO: Error! Can't Save the Latest Clover DL FKL-ready zip distr: "
            "no local repository is set");
      } else {
        const std::string to = WithSlash(repo) + FileNameOf(readyName);
        Log("> DLAndExtractCloverFromCloverDistrISO: CopyFile(" + readyName + ", " + to + ")");
        // Copied under a hidden name first: a copy cut short (a full disk)
        // never sits in the repository as an archive the next run would take.
        const std::string part = WithSlash(repo) + "." + FileNameOf(readyName) + ".part";
        fs::copy_file(readyName, part, fs::copy_options::overwrite_existing, ec);
        if (!ec) fs::rename(part, to, ec);
        if (ec) {
          std::error_code ignored;
          fs::remove(part, ignored);
          Log("> DLAndExtractCloverFromCloverDistrISO: Error! Can't Save the Latest Clover DL FKL-ready zip distr " +
              ec.message());
        } else {
          GetUi().ShowStatus(FileNameOf(readyName) + " Saved to Clover Local Repo", 4000);
        }
      }
    }
  } else {
    Log("> DLAndExtractCloverFromCloverDistrISO: Error Copy the Latest Clover Data Set to Selected Drive.");
    // The extraction's own reason, when it noted one, stays the one shown.
    const std::string why = TakeFailureReason();
    ErrorBox("Error Copy the Latest Clover Data Set to Selected Drive.", "Error!",
             !why.empty() ? why : (fs::exists(readyName, ec) ? "" : readyName + " was not made"));
  }
  Log("> DLAndExtractCloverFromCloverDistrISO: Result=" + std::to_string(result));
  return result;
}

}  // namespace

void SetCloverDownloadTimeoutMs(int ms) { g_downloadTimeoutMs = ms > 0 ? ms : kCloverDownloadTimeoutMs; }

std::string DownloadCloverArchive(const std::string& work) {
  const std::string rev = Cfg().CloverDLRev;
  auto outcome = std::make_shared<CloverDownloadOutcome>();
  Runner& runner = GetRunner();
  const Runner::StartStatus st = runner.Start(
      OpKind::CloverDownload,
      [outcome, rev, work](OpContext&) {
        *outcome = DownloadCloverRevision(rev, work);
        return outcome->code == WEB_OK ? OpResult::Done() : OpResult::Failed("Can't download Latest Clover.");
      },
      Cfg());
  if (st == Runner::StartStatus::NetBusy || st == Runner::StartStatus::AlreadyRunning) {
    Log("> Error: Thread GetCloverRevThread() running already");
    GetUi().ShowStatus(Runner::RefusalText(st), 2000);
    return {};
  }
  if (st != Runner::StartStatus::Started) {
    ErrorBox("Can't download Latest Clover.", "Error!");
    return {};
  }
  Log("> StartThread GetCloverRevThread()");

  // Wait for the download. On a time-out or a cancel the download is cancelled
  // and waited for, so that nothing writes into the work directory afterwards.
  const int timeoutMs = g_downloadTimeoutMs.load();
  const int64_t deadline = TickCountMs() + timeoutMs;
  bool timedOut = false, cancelled = false;
  int64_t giveUpAt = 0;
  while (runner.Running(OpKind::CloverDownload)) {
    if (!timedOut && !cancelled) {
      if (RunCancelled()) cancelled = true;
      else if (TickCountMs() >= deadline) timedOut = true;
      if (timedOut || cancelled) {
        Log(timedOut ? "> DLAndExtractCloverFromCloverDistrISO: Timeout, cancelling the download"
                     : "> DLAndExtractCloverFromCloverDistrISO: Cancel(FormatStatus=#True), cancelling the download");
        runner.Cancel(OpKind::CloverDownload);
        giveUpAt = TickCountMs() + 120000;
      }
    } else if (TickCountMs() >= giveUpAt) {
      Log("> DLAndExtractCloverFromCloverDistrISO: Error: the download did not stop after its cancel");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (timedOut) {
    ErrorBox("Can't download Latest Clover: Timeout " + std::to_string(timeoutMs / 1000) + " secs.", "Error!");
    return {};
  }
  if (cancelled || outcome->code != WEB_OK) return {};
  if (!Validate7zZIPFile(outcome->fileName)) {
    GetUi().ShowStatus("Error: The downloaded file is not an LZMA file.", 3000);
    std::error_code ec;
    fs::remove(outcome->fileName, ec);
    return {};
  }
  GetUi().ShowStatus("Clover r" + rev + " Downloaded", 1000);
  return outcome->fileName;
}

std::string PrepareCloverDLDataSet(bool* downloaded) {
  *downloaded = false;
  const std::string rev = Cfg().CloverDLRev;
  if (!ValidRevisionText(rev)) {
    Log("> DLAndExtractCloverFromCloverDistrISO: Error: not a revision number: '" + rev + "'");
    ErrorBox("Can't download Latest Clover.", "Error!");
    return {};
  }
  const std::string base = "Clover-" + rev + "-X64";
  const std::string repo = Cfg().CloverLocalRepository.empty() ? std::string() : WithSlash(Cfg().CloverLocalRepository);
  std::error_code ec;
  // An FKL-ready ZIP of this revision saved earlier needs no download.
  if (!repo.empty()) {
    const std::string zip = repo + base + ".zip";
    if (fs::is_regular_file(zip, ec) && Validate7zZIPFile(zip) && TestDataZip(zip) == std::atoi(rev.c_str())) {
      Log("> DLAndExtractCloverFromCloverDistrISO: found in the local repository: " + zip);
      GetUi().ShowStatus("Use " + base + ".zip", 300);
      return zip;
    }
  }
  const std::string work = PrepareWorkDir();
  if (work.empty()) return {};
  const std::string archiveName = CloverArchiveName(rev);
  const std::string inRepo = repo.empty() ? std::string() : repo + archiveName;
  if (!inRepo.empty() && fs::is_regular_file(inRepo, ec) && Validate7zZIPFile(inRepo)) {
    fs::copy_file(inRepo, work + archiveName, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      Log("> Error CopyFile " + inRepo + " to " + work + archiveName);
      return {};
    }
    Log("> CopyFile " + inRepo + " to " + work + archiveName);
    GetUi().ShowStatus("Use " + archiveName, 300);
  } else {
    if (DownloadCloverArchive(work).empty()) return {};
    *downloaded = true;
  }
  if (RunCancelled()) return {};
  const std::string readyName = work + base + ".zip";
  if (!ConvertIsoArchive(work, archiveName, readyName)) return {};
  return readyName;
}

int InstallPreparedCloverDataSet(const std::string& readyZip, bool downloaded, const std::string& Destination) {
  return ExtractReadyZip(readyZip, Destination, downloaded);
}

std::string PrepareLocalIsoDataSet() {
  const std::string work = PrepareWorkDir();
  if (work.empty()) return {};
  const std::string source = CloverLocalSelectedName;
  const std::string file = FileNameOf(source);
  const std::string target = work + file;
  std::error_code ec;
  fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    Log("> Error CopyFile " + source + " to " + target + " (" + ec.message() + ")");
    NoteFailureReason("cannot copy " + source + " to " + target + " (" + ec.message() + ")");
    PauseToRead(300);
    return {};
  }
  Log("> CopyFile " + source + " to " + target);
  GetUi().ShowStatus("Use " + file, 300);
  const std::string readyName = work + WithoutLastExtension(WithoutLastExtension(file)) + ".zip";
  if (!ConvertIsoArchive(work, file, readyName)) return {};
  return readyName;
}

int DLAndExtractCloverFromCloverDistrISO(const std::string& Destination, int Local) {
  bool downloaded = false;
  const std::string zip = Local == 0 ? PrepareCloverDLDataSet(&downloaded) : PrepareLocalIsoDataSet();
  if (zip.empty()) {
    Log("> DLAndExtractCloverFromCloverDistrISO: Result=0");
    return 0;
  }
  return ExtractReadyZip(zip, Destination, downloaded);
}

}  // namespace fk
