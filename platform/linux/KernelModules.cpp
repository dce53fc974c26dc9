#include "platform/KernelModules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/Process.h"

namespace fk::platform {

namespace {

std::mutex g_mutex;
ModuleSetup g_setup;

std::string WithSlash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

std::string LastLine(const std::string& text) {
  std::string last;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) last = line;
  }
  return last;
}

bool RunModprobe(const std::vector<std::string>& args, std::string* error) {
  const ModuleSetup s = GetModuleSetup();
  ProcessRequest req;
  req.argv = {s.modprobe};
  if (!s.moduleRoot.empty()) {
    req.argv.push_back("-d");
    req.argv.push_back(s.moduleRoot);
  }
  req.argv.insert(req.argv.end(), args.begin(), args.end());
  req.timeoutMs = 60000;
  ProcessResult r = RunProcess(req);
  if (!r.started) {
    if (error) *error = s.modprobe + " cannot be started: " + r.errorText;
    return false;
  }
  if (r.timedOut) {
    if (error) *error = s.modprobe + " did not finish";
    return false;
  }
  if (r.exitCode != 0) {
    std::string text = LastLine(r.output);
    if (error) *error = text.empty() ? s.modprobe + " ended with exit code " + std::to_string(r.exitCode) : text;
    return false;
  }
  return true;
}

}  // namespace

ModuleSetup GetModuleSetup() {
  std::lock_guard l(g_mutex);
  return g_setup;
}

void SetModuleSetup(ModuleSetup setup) {
  std::lock_guard l(g_mutex);
  g_setup = std::move(setup);
}

std::string ModulesLoadDir() { return WithSlash(GetModuleSetup().systemRoot) + "etc/modules-load.d/"; }

std::string ModulesLoadFile(const std::string& module) { return ModulesLoadDir() + module + ".conf"; }

bool ModulesLoadFileExists(const std::string& module) {
  std::ifstream in(ModulesLoadFile(module));
  if (!in) return false;
  struct stat st {};
  if (::stat(ModulesLoadFile(module).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  for (std::string line; std::getline(in, line);) {
    const size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos) continue;
    const size_t e = line.find_last_not_of(" \t\r");
    if (line.substr(b, e - b + 1) == module) return true;
  }
  return false;
}

bool WriteModulesLoadFile(const std::string& module, std::string* error) {
  const std::string dir = ModulesLoadDir();
  const std::string path = ModulesLoadFile(module);
  const std::string temp = path + ".new";
  auto fail = [&](const std::string& what, int err) {
    if (error) *error = what + ": " + std::strerror(err);
    return false;
  };
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return fail("cannot create " + dir, ec.value());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return fail("cannot write " + path, errno);
  const std::string text = "# Written by Flashkeel: read HFS+ volumes.\n" + module + "\n";
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  int err = errno;
  if (ok && ::fsync(fd) != 0) ok = false, err = errno;
  if (::close(fd) != 0 && ok) ok = false, err = errno;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false, err = errno;
  if (!ok) {
    ::unlink(temp.c_str());
    return fail("cannot write " + path, err);
  }
  return true;
}

bool RemoveModulesLoadFile(const std::string& module, std::string* error) {
  const std::string path = ModulesLoadFile(module);
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  if (error) *error = "cannot delete " + path + ": " + std::strerror(errno);
  return false;
}

bool LoadKernelModule(const std::string& module, std::string* error) { return RunModprobe({module}, error); }

bool UnloadKernelModule(const std::string& module, std::string* error) { return RunModprobe({"-r", module}, error); }

bool KernelModuleLoaded(const std::string& module) {
  struct stat st {};
  return ::stat((WithSlash(GetModuleSetup().sysModuleDir) + module).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileSystemMounted(const std::string& fsType) {
  std::ifstream in(GetModuleSetup().mountsFile);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string source, target, type;
    if (fields >> source >> target >> type && type == fsType) return true;
  }
  return false;
}

}  // namespace fk::platform
