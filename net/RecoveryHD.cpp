#include "net/RecoveryHD.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "format/Packs.h"
#include "net/HfsImage.h"
#include "net/Http.h"
#include "net/RecoveryHDList.h"
#include "net/Digest.h"

namespace fk {

namespace fs = std::filesystem;

namespace {

constexpr const char* kP = "DLAndExtractHFSImageFromRecoveryHD: ";

bool IsHexDigest(const std::string& d) {
  if (d.size() != 40) return false;
  for (char c : d)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void LogEntries(const std::string& dir, const std::string& prefix) {
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code sec;
    const auto size = it->is_regular_file(sec) ? static_cast<int64_t>(it->file_size(sec)) : 0;
    Log("> " + prefix + it->path().filename().string() + " - Size in byte: " + std::to_string(size));
  }
}

OpResult ErrorBox(const std::string& text, const std::string& title) {
  Log("> " + std::string(kP) + text);
  GetUi().MessageBox(title, text, MsgButtons::Ok, MsgIcon::Error);
  return OpResult::Failed(text);
}

// The package, the images inside it and the extracted volume together take
// several times the package's size; the package size comes from the catalog.
constexpr int64_t kWorkSpaceFactor = 4;

// The package's size in bytes: the catalog's, or, for a record read back from
// the settings (name and URL only), the rounded size its name shows ("452 MB",
// taken one unit up). 0 when unknown.
int64_t PackageSize(const RecoveryHDSource& record) {
  if (const int64_t size = std::strtoll(record.Size.c_str(), nullptr, 10); size > 0) return size;
  const std::string text = ParseRecoveryHDName(record.Name).size;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (value <= 0 || end == text.c_str()) return 0;
  const std::string unit = end;
  int shift = 0;
  if (unit == " KB") shift = 10;
  else if (unit == " MB") shift = 20;
  else if (unit == " GB") shift = 30;
  else if (unit != " B") return 0;
  return static_cast<int64_t>((value + 1) * static_cast<double>(int64_t{1} << shift));
}

// Where the package and its extraction go: the temporary directory, or beside
// the image repository when that lacks room. "" with *why set when neither has it.
std::string ChooseWorkParent(const RecoveryHDSource& record, const std::string& repo, std::string* why) {
  const std::string tmp = GetTemporaryDirectory();
  const int64_t size = PackageSize(record);
  if (size <= 0) {
    Log("> " + std::string(kP) + "the package size is not known; free space not checked");
    return tmp;
  }
  const int64_t need = size * kWorkSpaceFactor;
  for (const std::string& dir : {tmp, repo}) {
    const int64_t free = FreeBytesAt(dir);
    Log("> " + std::string(kP) + "free space in " + dir + ": " + std::to_string(free) + " bytes, needed " +
        std::to_string(need));
    if (free < 0 || free >= need) return dir;
  }
  *why = "Not enough free space for the Recovery HD package (" + FormatSize(size, 1) + "): " +
         FormatSize(need, 1) + " are needed in " + tmp + " or in " + repo;
  return {};
}

}  // namespace

int GetRecoveryHDThread(const RecoveryHDSource& record, const std::string& packagePath, int* iRetVal,
                        std::string* failureText) {
  Log("> GetRecoveryHDThread: Start");
  HTTPRecordGuard rec = LockHTTPRecord();
  HTTPTransfer& t = *rec;
  SetUpFileDownload(t, record.URL, packagePath, 1048576);
  Log("> GetRecoveryHDThread: tHTTP\\URL$=" + t.URL);
  Log("> tHTTP\\FullFileName$=" + packagePath);
  const int rc = HTTPGetFromWeb(t);
  *iRetVal = rc;
  if (rc != WEB_OK) *failureText = HttpResultMessage(rc, t);
  Log("> EndThread  flgNetThreadRunning=" + std::to_string(flgNetThreadRunning.load()));
  Log("> GetRecoveryHDThread: iRetVal=" + std::to_string(rc));
  return 0;
}

OpResult DLAndExtractHFSImageFromRecoveryHD(RecoveryHDSource& record) {
  // The front end captions the Download Center button from the runner's state.
  Ui& ui = GetUi();

  Log("> " + std::string(kP) + "Name$=" + record.Name + " URL$=" + record.URL);
  if (record.URL.empty()) return ErrorBox("Can't download RecoveryHD for MAC OS X " + record.Name, "Error!");
  std::string repo = Cfg().FKLImageLocalRepo;
  if (repo.empty() || !CreateDirectoryPath(repo))
    return ErrorBox("Can't use the image repository folder \"" + repo + "\"", "Error!");
  if (repo.back() != '/') repo += '/';

  std::string why;
  const std::string parent = ChooseWorkParent(record, repo, &why);
  if (parent.empty()) return ErrorBox(why, "Error!");
  WorkDir work(WorkDir::In{parent});
  if (!work.ok()) return ErrorBox("Can't create TEMP folder!" + work.error(), "Error!");
  const std::string dir = work.path();

  if (!ExtractPack(kPackUnpackRecHD, dir, 0, 1)) return ErrorBox("Can't Unpack Internal Resources!", "Error");
  if (SevenZipProgram().empty()) return ErrorBox(kNo7ZipText, "Error");
  record.UnpackScript = kRecoveryScriptName;
  LogEntries(dir, "");

  // The download runs on the operation's thread, where the transfer sees a
  // cancel of the operation.
  const std::string package = dir + kRecoveryPackageName;
  int rc = 0;
  std::string failure;
  GetRecoveryHDThread(record, package, &rc, &failure);
  if (rc != WEB_OK) {
    // The transfer's end callback has shown the reason.
    if (rc == WEB_ABORTED && JobCancelling()) return OpResult::Cancelled("Download cancelled");
    return OpResult::Failed(failure);
  }

  const std::string downloaded = std::string(kRecoveryPackageName) + " Downloaded";
  ui.ShowStatus(downloaded, 1000);
  Log("> " + std::string(kP) + downloaded);

  if (IsHexDigest(record.Digest)) {
    const std::string got = Sha1OfFile(package);
    if (got != Lower(record.Digest)) {
      std::error_code ec;
      fs::remove(package, ec);
      Log("> " + std::string(kP) + "SHA-1 " + got + " differs from the catalog's Digest " + record.Digest +
          "; package deleted");
      return ErrorBox("The downloaded " + std::string(kRecoveryPackageName) + " does not match the catalog's " +
                          "SHA-1 digest:\r\nexpected " + Lower(record.Digest) + "\r\nreceived " +
                          (got.empty() ? "(unreadable)" : got) + "\r\nThe package has been deleted.",
                      "Error");
    }
    Log("> " + std::string(kP) + "SHA-1 digest OK: " + got);
    ui.ShowStatus(std::string(kRecoveryPackageName) + " SHA-1 digest OK", 1000);
  } else {
    const std::string text = "The catalog gives no digest for " + record.Name + ": the package could not be checked";
    Log("> " + std::string(kP) + text);
    ui.ShowStatus(text, 2000);
  }

  LogEntries(dir, kP);
  const std::string extracting = "Extracting HFS-Image from " + std::string(kRecoveryPackageName) + " ...";
  ui.ShowStatus(extracting, 2000);
  Log("> " + std::string(kP) + extracting);
  const std::string out = dir + "out";
  std::error_code ec;
  fs::create_directory(out, ec);
  Log("> " + std::string(kP) + "RunProgram(\"" + dir + kRecoveryScriptName + "\", \"" + kRecoveryPackageName +
      "\" \"" + out + "\", \"" + dir + "\")");
  ProcessRequest rq;
  rq.argv = {"sh", dir + kRecoveryScriptName, kRecoveryPackageName, out};
  rq.workDir = dir;
  const ProcessResult pr = RunJobTool(rq, "Unpack_RecHDUpdate_pkg");
  if (!pr.started) {
    Log("> " + std::string(kP) + "Error Run Extract HFS-Image.");
    ui.MessageBox("Error ! ", "Error Run Extract HFS-Image.", MsgButtons::Ok, MsgIcon::Error);
    return OpResult::Failed("Error Run Extract HFS-Image.");
  }
  if (pr.cancelled) {
    Log("> " + std::string(kP) + "extraction cancelled");
    ui.ShowStatus("Extraction cancelled", 1000);
    return OpResult::Cancelled("Extraction cancelled");
  }
  Log("> " + std::string(kP) + "RunProgram Exitcode=" + std::to_string(pr.exitCode));
  if (pr.exitCode != 0) {
    const std::string text =
        "Extract HFS-Image from " + std::string(kRecoveryPackageName) + " ErrorCode: " + std::to_string(pr.exitCode);
    ui.ShowStatus(text, 2000);
    Log("> " + std::string(kP) + text);
    return OpResult::Failed(text);
  }
  // Success needs an HFS+ volume that this run extracted (the folder was empty).
  const HfsResults hfs = TakeHfsResults(out, repo, SafeFileName(record.Name, "RecoveryHD"), false,
                                        "DLAndExtractHFSImageFromRecoveryHD");
  if (hfs.none || !hfs.error.empty()) {
    const std::string text = hfs.none ? "No HFS-Image (*.hfs) was extracted from " + std::string(kRecoveryPackageName)
                                      : hfs.error;
    ui.ShowStatus(text, 2000);
    Log("> " + std::string(kP) + text);
    return OpResult::Failed(text);
  }
  ui.ShowStatus("Done", 2000);
  work.Remove();

  const std::string summary = "\tSummary Information:\r\n\r\nDL Recovery HD file for macOS: \r\n\"" + record.Name +
                              "\" ........... Success\r\nExtract HFS-Image (*.hfs) file ................. "
                              "Success\r\nSave in the Directory: \"" +
                              Cfg().FKLImageLocalRepo +
                              "\" ........... Success\r\n\r\nAn FKLImage file can be restored to the required "
                              "Partition\r\nusing the button [Restore ...].";
  ui.MessageBox("Info", summary, MsgButtons::Ok, MsgIcon::Information);
  return OpResult::Done(hfs.moved.front());
}

}  // namespace fk
