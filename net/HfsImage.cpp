#include "net/HfsImage.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "app/AppState.h"
#include "app/Log.h"
#include "app/Runner.h"
#include "platform/FileMove.h"

namespace fk {

namespace fs = std::filesystem;

HfsImageCheck CheckHfsImage(const std::string& path, bool allowClassicHfs) {
  HfsImageCheck c;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    c.problem = "not a file";
    return c;
  }
  c.size = static_cast<int64_t>(fs::file_size(path, ec));
  char sig[2] = {0, 0};
  std::ifstream in(path, std::ios::binary);
  if (c.size >= 1026 && in.seekg(1024) && in.read(sig, 2)) {
    const std::string s(sig, 2);
    if (s == "H+") c.kind = "HFS+";
    if (s == "HX") c.kind = "HFSX";
    if (s == "BD" && allowClassicHfs) c.kind = "HFS";
  }
  if (c.kind.empty()) {
    c.problem = "no HFS+ volume signature (H+ or HX) at byte 1024";
  } else if (c.size % 512 != 0) {
    c.problem = "its size (" + std::to_string(c.size) + " bytes) is not a whole number of 512-byte sectors";
  } else {
    c.ok = true;
  }
  return c;
}

std::vector<std::string> HfsTopFolders(const std::string& volume) {
  const std::string sevenZip = SevenZipProgram();
  if (sevenZip.empty()) return {};
  ProcessRequest rq;
  rq.argv = {sevenZip, "l", "-thfs", "-ba", "-slt", "--", volume};
  rq.mergeStderr = false;
  rq.timeoutMs = 120000;
  const ProcessResult r = RunProcess(rq);
  if (!r.started || r.exitCode != 0) return {};
  // Records of "Path = ..." and "Folder = +|-" lines.
  std::vector<std::pair<std::string, bool>> entries;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Path = ", 0) == 0) entries.emplace_back(line.substr(7), false);
    if (line == "Folder = +" && !entries.empty()) entries.back().second = true;
  }
  // 7-Zip puts every entry under a folder named after the volume.
  std::string root;
  for (const auto& [p, dir] : entries)
    if (dir && p.find('/') == std::string::npos) root = p + "/";
  std::vector<std::string> top;
  for (const auto& [p, dir] : entries) {
    if (!dir || root.empty() || p.rfind(root, 0) != 0) continue;
    const std::string rest = p.substr(root.size());
    if (!rest.empty() && rest.find('/') == std::string::npos) top.push_back(rest);
  }
  return top;
}

std::string SafeFileName(const std::string& name, const std::string& fallback) {
  std::string out;
  for (unsigned char ch : name) out += (ch < 0x20 || ch == '/' || ch == '\\' || ch == 0x7F) ? '_' : char(ch);
  while (!out.empty() && (out.front() == '.' || out.front() == ' ')) out.erase(0, 1);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out.empty() ? fallback : out;
}

std::string MoveToNewName(const std::string& file, const std::string& dirIn, const std::string& base,
                          const std::string& ext) {
  std::string dir = dirIn;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  for (int n = 1; n < 1000; ++n) {
    const std::string to = dir + base + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ext;
    const int err = MoveFileNoReplace(file, to);
    if (err == 0) {
      Log("> Moved " + file + " to " + to);
      return to;
    }
    if (err != EEXIST) {
      Log("> Error: cannot move " + file + " to " + to + ": " + std::strerror(err));
      return {};
    }
  }
  Log("> Error: no free name for " + base + ext + " in " + dir);
  return {};
}

HfsResults TakeHfsResults(const std::string& outDir, const std::string& targetDir, const std::string& base,
                          bool allowClassicHfs, const std::string& logPrefix) {
  HfsResults r;
  std::vector<fs::path> found;
  std::error_code ec;
  for (auto it = fs::directory_iterator(outDir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".hfs" && it->is_regular_file()) found.push_back(it->path());
  std::sort(found.begin(), found.end());
  if (found.empty()) {
    Log("> " + logPrefix + ": no *.hfs file was extracted");
    r.none = true;
    return r;
  }
  for (const fs::path& f : found) {
    const HfsImageCheck c = CheckHfsImage(f.string(), allowClassicHfs);
    if (!c.ok) {
      Log("> " + logPrefix + ": " + f.filename().string() + " is not an HFS+ volume: " + c.problem);
      r.error = "The extracted " + f.filename().string() + " is not an HFS+ volume: " + c.problem + ".";
      return r;
    }
    Log("> " + logPrefix + ": " + f.filename().string() + ": " + c.kind + " volume, " + std::to_string(c.size) +
        " bytes");
    std::string folders;
    for (const std::string& t : HfsTopFolders(f.string())) folders += (folders.empty() ? "" : ", ") + t;
    Log("> " + logPrefix + ": top folders: " + (folders.empty() ? "(none listed)" : folders));
  }
  for (const fs::path& f : found) {
    const std::string name = found.size() == 1 ? base : base + " - " + f.stem().string();
    const std::string to = MoveToNewName(f.string(), targetDir, name, ".hfs");
    if (to.empty()) {
      r.error = "Can't save " + name + ".hfs in " + targetDir;
      return r;
    }
    r.moved.push_back(to);
  }
  return r;
}

int64_t FreeBytesAt(const std::string& pathIn) {
  std::error_code ec;
  fs::path p = pathIn;
  while (!p.empty() && !fs::exists(p, ec)) p = p.parent_path();
  if (p.empty()) return -1;
  const fs::space_info si = fs::space(p, ec);
  return ec ? -1 : static_cast<int64_t>(si.available);
}

bool JobCancelling() { return CancelMainThread.load() != 0; }

std::string SevenZipProgram() {
  const char* named = std::getenv("FK_7ZZ");
  if (named && *named) return std::string(named).find('/') != std::string::npos ? named : FindProgram(named);
  return FindProgram("7zz");
}

ProcessResult RunJobTool(ProcessRequest request, const std::string& logPrefix) {
  request.cancel = [] { return JobCancelling(); };
  request.onLine = [&logPrefix](std::string_view line) {
    if (!line.empty()) Log("> " + logPrefix + ": | " + std::string(line));
  };
  return RunProcess(request);
}

}  // namespace fk
