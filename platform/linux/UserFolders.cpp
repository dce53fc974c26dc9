#include "platform/UserFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fk::platform {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool ParseId(const std::string& text, unsigned long* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) return false;
  *out = std::strtoul(text.c_str(), nullptr, 10);
  return true;
}

bool FillFromPasswd(InvokingUser& u, const passwd* pw) {
  if (!pw) return false;
  u.uid = pw->pw_uid;
  u.gid = pw->pw_gid;
  u.name = pw->pw_name ? pw->pw_name : "";
  u.home = pw->pw_dir ? pw->pw_dir : "";
  return true;
}

bool LookUpUid(InvokingUser& u, uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw {}, *res = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &res) != 0 || !res) return false;
  return FillFromPasswd(u, res);
}

bool LookUpName(InvokingUser& u, const std::string& name) {
  std::vector<char> buf(16384);
  passwd pw {}, *res = nullptr;
  if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return false;
  return FillFromPasswd(u, res);
}

std::string TrimSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool Inside(const std::string& path, const std::string& dir) {
  if (dir.empty() || path.empty() || path[0] != '/') return false;
  const std::string d = TrimSlash(dir);
  return path == d || path.rfind(d + "/", 0) == 0;
}

// $VAR when it belongs to the user, else home + fallback.
std::string XdgDir(const char* var, const char* fallback) {
  const InvokingUser u = GetInvokingUser();
  std::string v = TrimSlash(Env(var));
  if (!v.empty() && v[0] == '/' && (!u.elevated || Inside(v, u.home))) return v;
  const std::string home = u.home.empty() ? "/tmp" : TrimSlash(u.home);
  return home + "/" + fallback;
}

}  // namespace

InvokingUser GetInvokingUser() {
  InvokingUser u;
  const uid_t self = ::geteuid();
  if (self == 0) {
    unsigned long id = 0;
    bool found = false;
    if (ParseId(Env("PKEXEC_UID"), &id)) found = LookUpUid(u, static_cast<uid_t>(id));
    if (!found && ParseId(Env("SUDO_UID"), &id)) {
      found = LookUpUid(u, static_cast<uid_t>(id));
      unsigned long gid = 0;
      if (found && ParseId(Env("SUDO_GID"), &gid)) u.gid = static_cast<gid_t>(gid);
    }
    if (!found && !Env("SUDO_USER").empty()) found = LookUpName(u, Env("SUDO_USER"));
    if (found && u.uid != 0) {
      u.elevated = true;
      return u;
    }
    u = InvokingUser{};
  }
  if (!LookUpUid(u, self)) {
    u.uid = self;
    u.gid = ::getegid();
  }
  // The process's own user: $HOME names the home it works in.
  if (const std::string h = Env("HOME"); !h.empty()) u.home = TrimSlash(h);
  return u;
}

std::string UserConfigDir() { return XdgDir("XDG_CONFIG_HOME", ".config"); }
std::string UserDataDir() { return XdgDir("XDG_DATA_HOME", ".local/share"); }

bool MakeUserDirectories(const std::string& dirIn, std::string* error) {
  const std::string dir = TrimSlash(dirIn);
  if (dir.empty() || dir[0] != '/') {
    if (error) *error = "not an absolute path: " + dirIn;
    return false;
  }
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    const std::string prefix = dir.substr(0, pos);
    struct stat st {};
    if (::stat(prefix.c_str(), &st) == 0) continue;
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      if (error) *error = "cannot create " + prefix + ": " + std::strerror(errno);
      return false;
    }
    GiveToUser(prefix);
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (error) *error = dir + " is not a directory";
    return false;
  }
  return true;
}

std::string UserSessionBusAddress(const std::string& runDir) {
  if (!Env("DBUS_SESSION_BUS_ADDRESS").empty()) return "";
  const std::string path = TrimSlash(runDir) + "/" + std::to_string(GetInvokingUser().uid) + "/bus";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return "";
  return "unix:path=" + path;
}

bool GiveToUser(const std::string& pathIn) {
  const InvokingUser u = GetInvokingUser();
  if (!u.elevated) return true;
  std::string path = pathIn;
  if (!path.empty() && path[0] != '/') {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return true;
    path = std::string(cwd) + "/" + path;
  }
  if (!Inside(path, u.home)) return true;
  return ::lchown(path.c_str(), u.uid, u.gid) == 0;
}

}  // namespace fk::platform
