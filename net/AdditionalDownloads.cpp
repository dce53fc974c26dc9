#include "net/AdditionalDownloads.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/AppState.h"
#include "app/IniFile.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/Ui.h"
#include "app/Utilities.h"
#include "net/Digest.h"
#include "net/HfsImage.h"
#include "net/Http.h"
#include "net/RemoteUrls.h"

namespace fk {

namespace fs = std::filesystem;

namespace {

std::mutex listMutex;
std::vector<AdditionalDLEntry> additionalDL;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

OpResult ErrorBox(const std::string& text) {
  Log("> DLAdditionalDownload: " + text);
  GetUi().MessageBox("Error!", text, MsgButtons::Ok, MsgIcon::Error);
  return OpResult::Failed(text);
}

// The download-list file into dir; the engine's code.
int FetchList(const std::string& file) {
  HTTPRecordGuard rec = LockHTTPRecord();
  HTTPTransfer& t = *rec;
  t = HTTPTransfer{};
  t.URL = AdditionalDLListUrl();
  t.iDestination = DEST_FILE;
  t.iBufferSize = 1048576;
  t.iResumeAttemptsNumber = 0;
  t.iResumeMaxAttemptsNumber = 10;
  t.CallbackStart = MyCallStart;
  t.CallbackWorking = MyCallWorking;
  t.FullFileName = file;
  Log("> CheckAdditionalDownloadsThread: AdditionalDLFile$=" + file);
  GetUi().ShowStatus("Checking for Updates ... Wait Please", 2000);
  const int rc = HTTPGetFromWeb(t);
  if (rc != WEB_OK) Log("> CheckAdditionalDownloadsThread: tHTTP\\iHTTPRetVal=" + std::to_string(rc));
  return rc;
}

// Gives tmp the name target only when no file of that name exists.
bool LinkNoReplace(const std::string& tmp, const std::string& target, std::string* why) {
  if (::link(tmp.c_str(), target.c_str()) != 0) {
    *why = errno == EEXIST ? "exists" : std::strerror(errno);
    return false;
  }
  ::unlink(tmp.c_str());
  return true;
}

std::string ReadWholeFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  std::string data;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  std::fclose(f);
  return data;
}

}  // namespace

std::string AdditionalDLListUrl() { return SiteBaseUrl() + "/files/AdditionalDL/DLList.ini"; }

std::string UserDLPath() { return Paths().ProgramDir + "UserDL.ini"; }

int LoadAdditionalDLList(const std::string& path, int user, std::vector<AdditionalDLEntry>& list) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return 0;
  std::string error;
  const IniFile ini = IniFile::Load(path, &error);
  if (!error.empty()) {
    Log("> LoadAdditionalDLList: " + path + ": " + error);
    return 0;
  }
  return AdditionalDLListFromIni(ini, user, list);
}

int AdditionalDLListFromIni(const IniFile& ini, int user, std::vector<AdditionalDLEntry>& list) {
  AdditionalDLEntry header;
  header.Name = user ? kUserDLHeader : kFklDLHeader;
  list.push_back(header);
  int sections = 0;
  for (const IniGroup& g : ini.Groups()) {
    if (g.name.empty()) continue;  // lines before the first section
    ++sections;
    Log("> LoadAdditionalDLList: Name: " + g.name);
    AdditionalDLEntry e;
    e.flgUser = user ? 1 : 0;
    e.Name = g.name;
    for (const IniEntry& kv : g.entries) {
      Log("> LoadAdditionalDLList: Key: " + kv.key + "=" + kv.value);
      const std::string key = Lower(TrimBlanks(kv.key));
      const std::string value = TrimBlanks(kv.value);
      if (key == "url") e.URL = value;
      else if (key == "size") e.Size = value;
      else if (key == "description") e.Description = value;
      else if (key == "md5digest") e.MD5Digest = value;
      else if (key == "postdate") e.PostDate = value;
      else if (key == "catalog") e.Catalog = value;
    }
    // The program's list names its files on the program's site, which may be
    // moved (a mirror, a test server).
    if (!user) e.URL = RebaseUrl(e.URL, kDefaultSite, SiteBaseUrl());
    list.push_back(std::move(e));
  }
  Log("> LoadAdditionalDLList: Found " + std::to_string(sections) + " file(s)");
  return sections;
}

int LoadAdditionalDLList(const std::string& path, int user) {
  std::vector<AdditionalDLEntry> add;
  const int n = LoadAdditionalDLList(path, user, add);
  std::lock_guard lock(listMutex);
  additionalDL.insert(additionalDL.end(), add.begin(), add.end());
  return n;
}

std::vector<AdditionalDLEntry> AdditionalDL() {
  std::lock_guard lock(listMutex);
  return additionalDL;
}

void SetAdditionalDL(std::vector<AdditionalDLEntry> list) {
  std::lock_guard lock(listMutex);
  additionalDL = std::move(list);
}

std::string AdditionalDLRowText(const AdditionalDLEntry& e) {
  if (e.Size.empty()) return e.Name + ": " + e.Description;
  return e.Name + " " + FormatSize(ParseLeadingInt(e.Size), 1) + ": " + e.Description;
}

OpResult CheckAdditionalDownloadsThread(const std::string& keepListAs) {
  Ui& ui = GetUi();
  WorkDir work;
  if (!work.ok()) {
    Log("> CheckAdditionalDownloadsThread: Can't create TempWorkDir (" + work.error() + ")");
    return OpResult::Failed("Can't create TempWorkDir");
  }
  const std::string file = work.path() + "DLList.ini";
  if (FetchList(file) != WEB_OK) {
    const std::string text = "CheckAdditionalDownloadsThread ... Error: Get DlFileList";
    ui.ShowStatus(text, 2000);
    Log("> CheckAdditionalDownloadsThread: Error");
    return OpResult::Failed(text);
  }
  // An answer that is no list (a portal's page, a cut file) leaves the list
  // in use, and the one kept, as they were.
  std::vector<AdditionalDLEntry> fetched;
  Log("> CheckAdditionalDownloadsThread: LoadAdditionalDLList FKLList");
  if (LoadAdditionalDLList(file, 0, fetched) == 0) {
    const std::string text = "CheckAdditionalDownloadsThread ... Error: Get DlFileList";
    ui.ShowStatus(text, 2000);
    Log("> CheckAdditionalDownloadsThread: Error: the downloaded list holds no entries; the list stays as it was");
    return OpResult::Failed(text + " (the downloaded list holds no entries)");
  }
  ui.ShowStatus("Download Latest Additional Downloads List ... OK", 2000);
  std::vector<AdditionalDLEntry> list;
  Log("> CheckAdditionalDownloadsThread: ClearList(AdditionalDL())");
  Log("> CheckAdditionalDownloadsThread: LoadAdditionalDLList UserList");
  LoadAdditionalDLList(UserDLPath(), 1, list);
  list.insert(list.end(), fetched.begin(), fetched.end());
  SetAdditionalDL(std::move(list));
  if (!keepListAs.empty()) {
    std::string error;
    if (!AtomicWriteFile(keepListAs, ReadWholeFile(file), &error))
      Log("> CheckAdditionalDownloadsThread: can't keep the list as " + keepListAs + ": " + error);
  }
  return OpResult::Done("Download Latest Additional Downloads List ... OK");
}

std::string UnsafeFileNameReason(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name == "." || name == "..") return "the name is \"" + name + "\"";
  for (unsigned char c : name) {
    if (c == '/' || c == '\\') return "the name holds a path separator";
    if (c < 0x20 || c == 0x7f) return "the name holds a control character";
  }
  return {};
}

std::string UnsafeCatalogReason(const std::string& catalog) {
  if (catalog.empty()) return "the folder is empty";
  if (catalog.front() == '/') return "the folder is an absolute path";
  std::stringstream parts(catalog);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (const std::string why = UnsafeFileNameReason(part); !why.empty()) return "a folder part: " + why;
  }
  return {};
}

std::string UrlFileName(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  const size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    const size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string() : path.substr(slash);
  }
  const size_t last = path.find_last_of('/');
  return last == std::string::npos ? path : path.substr(last + 1);
}

int GetAdditionalDLThread(const AdditionalDLEntry& entry, const std::string& fullFileName) {
  Log("> GetAdditionalDLThread: Start");
  HTTPRecordGuard rec = LockHTTPRecord();
  HTTPTransfer& t = *rec;
  SetUpFileDownload(t, entry.URL, fullFileName, 1048576);
  Log("> GetAdditionalDLThread: tHTTP\\URL$=" + t.URL);
  Log("> GetAdditionalDLThread: tHTTP\\FullFileName$=" + fullFileName);
  const int rc = HTTPGetFromWeb(t);
  Log("> GetAdditionalDLThread: EndThread  flgNetThreadRunning=#False");
  Log("> GetAdditionalDLThread: iRetVal=" + std::to_string(rc));
  return rc;
}

OpResult DLAdditionalDownload(const AdditionalDLEntry& entry) {
  // The front end captions the Download Center button from the runner's state
  // and rebuilds the drive list when the operation has ended.
  Ui& ui = GetUi();

  // A header entry has no URL: the engine refuses it with its parameter error.
  std::string repo = Cfg().CloverLocalRepository;
  if (repo.empty()) return ErrorBox("Can't download " + entry.Name + ": the Clover local repository is not set");
  if (repo.back() != '/') repo += '/';
  if (!CreateDirectoryPath(repo)) return ErrorBox("Can't create the Clover local repository \"" + repo + "\"");
  std::string dir = repo;
  std::string name = UrlFileName(entry.URL);
  if (!entry.URL.empty()) {
    if (const std::string why = UnsafeFileNameReason(name); !why.empty())
      return ErrorBox("Can't download " + entry.Name + ": the file name \"" + name + "\" is refused (" + why + ")");
    if (!entry.Catalog.empty()) {
      if (const std::string why = UnsafeCatalogReason(entry.Catalog); !why.empty())
        return ErrorBox("Can't download " + entry.Name + ": the folder \"" + entry.Catalog + "\" is refused (" +
                        why + ")");
      dir = repo + entry.Catalog + "/";
      // Links inside the repository may not lead the download out of it.
      std::error_code ec;
      const std::string base = repo.substr(0, repo.size() - 1);
      const fs::path root = fs::weakly_canonical(base, ec);
      const fs::path target = fs::weakly_canonical(base + "/" + entry.Catalog, ec);
      const std::string r = root.string() + "/", d = target.string() + "/";
      if (ec || d.compare(0, r.size(), r) != 0)
        return ErrorBox("Can't download " + entry.Name + ": the folder \"" + entry.Catalog +
                        "\" lies outside the Clover local repository");
      if (fs::is_directory(dir, ec)) Log("> GetAdditionalDLThread: Directory \"" + dir + "\" ........ Exist");
      else if (!CreateDirectoryPath(dir)) return ErrorBox("Can't create the folder \"" + dir + "\"");
    }
    std::error_code ec;
    if (fs::exists(fs::symlink_status(dir + name, ec)))
      return ErrorBox("\"" + dir + name + "\" already exists in the Clover local repository; it is kept");
  }

  // The repository is the user's folder: their files named "TEMP..." stay.
  const std::string temp = MakeTempFileName(dir, false);
  int rc = 0;
  {
    // On the operation's own thread, so the transfer sees the operation's cancel.
    Log("> Created GetAdditionalDLThread()");
    rc = GetAdditionalDLThread(entry, temp);
    Log("> Ended GetAdditionalDLThread()");
  }
  if (rc != WEB_OK) {
    // The transfer's end callback has shown the reason.
    HTTPTransfer none;
    if (rc == WEB_ABORTED && JobCancelling()) return OpResult::Cancelled("Download cancelled");
    return OpResult::Failed(HttpResultMessage(rc, none));
  }

  std::error_code ec;
  if (!entry.MD5Digest.empty()) {
    const std::string kind = DigestKindOf(entry.MD5Digest);
    if (kind.empty()) {
      Log("> DLAdditionalDownload: digest \"" + entry.MD5Digest + "\" is no MD5, SHA-1 or SHA-256; not checked");
    } else {
      const std::string got = FileDigestLike(temp, entry.MD5Digest);
      if (got != Lower(entry.MD5Digest)) {
        fs::remove(temp, ec);
        return ErrorBox("The " + kind + " digest of " + name + " does not match the list (" + got +
                        "); the download was deleted");
      }
      Log("> DLAdditionalDownload: " + kind + " digest OK");
    }
  }
  std::string why;
  if (!LinkNoReplace(temp, dir + name, &why)) {
    fs::remove(temp, ec);
    if (why == "exists")
      return ErrorBox("\"" + dir + name + "\" already exists in the Clover local repository; it is kept");
    return ErrorBox("Can't save \"" + dir + name + "\": " + why);
  }
  ui.ShowStatus(name + " Downloaded", 1000);
  const std::string summary = "\tSummary Information:\r\n\r\nDL: \"" + entry.Name +
                              "\" ........... Success\r\nSaved in the Directory: \"" + entry.Catalog +
                              "\" ........... Success\r\nin the Clover Local Repository: \r\n\"" + repo + "\"\r\n";
  ui.MessageBox("Info", summary, MsgButtons::Ok, MsgIcon::Information);
  return OpResult::Done(dir + name);
}

bool CreateUserDLExample(const std::string& path) {
  const char* lines[] = {
      "; This is Example of UserDL.ini. Do not remove this lines",
      "[SomeFileName]",
      "URL=http://downloads.example.org/SomeFileName.zip",
      "Size=47941",
      "Description=Some text without line feed",
      "; Optional fields",
      "MD5Digest=452e67040aadf29b7ab64777e575c25dd7a47036",
      "PostDate=2020-01-22 20:24",
      "; Create Catalog in Clover Local Repository for saving SomeFileName.zip",
      "Catalog=Drivers",
  };
  // As every settings file: the UTF-8 byte-order mark and an empty first line.
  std::string text = "\xEF\xBB\xBF\r\n";
  for (const char* l : lines) text += std::string("; ") + l + "\r\n";
  // "x": never opens an existing file.
  std::FILE* f = std::fopen(path.c_str(), "wbx");
  if (!f) {
    if (errno != EEXIST) Log("> CreateUserDLExample: can't create " + path + ": " + std::strerror(errno));
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) {
    Log("> CreateUserDLExample: can't write " + path);
    std::remove(path.c_str());
    return false;
  }
  return true;
}

}  // namespace fk
