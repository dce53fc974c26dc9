#include "app/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "app/AppState.h"
#include "app/IniFile.h"
#include "app/Log.h"
#include "platform/UniqueFd.h"
#include "platform/UserFolders.h"

namespace fk {

namespace {

constexpr const char* kRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                  "HKEY_CURRENT_CONFIG"};
constexpr const char* kProtectedMark = "!protected";
constexpr size_t kMaxBinaryBytes = 1024;

std::mutex g_mutex;
std::string g_file;

struct RegValue {
  std::string name;
  int type = 0;
  std::string data;  // REG_SZ text, REG_DWORD decimal, REG_BINARY hex
};

struct RegKey {
  std::string path;  // canonical: root in upper case, "\" separated
  bool isProtected = false;
  std::vector<RegValue> values;
};

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// "ROOT\sub\key" with the root checked and written in upper case; nullopt for
// a root name that is not one of the full names.
std::optional<std::string> Canonical(const std::string& keyPath) {
  size_t bs = keyPath.find('\\');
  std::string root = Upper(keyPath.substr(0, bs));
  if (std::find_if(std::begin(kRoots), std::end(kRoots), [&](const char* r) { return root == r; }) ==
      std::end(kRoots))
    return std::nullopt;
  std::string sub = bs == std::string::npos ? "" : keyPath.substr(bs + 1);
  while (!sub.empty() && sub.back() == '\\') sub.pop_back();
  return sub.empty() ? root : root + "\\" + sub;
}

bool IsRoot(const std::string& canonical) { return canonical.find('\\') == std::string::npos; }

// Percent-escapes what the line format cannot carry: '%', line ends, tabs,
// blanks at either end, and the characters given in special.
std::string Escape(const std::string& s, const std::string& special, bool escapeFirst) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool edgeBlank = (c == ' ') && (i == 0 || i + 1 == s.size());
    const bool first = escapeFirst && i == 0 && (c == ';' || c == '[' || c == '!' || c == '@');
    if (c == '%' || c == '\r' || c == '\n' || c == '\t' || c == '\0' || edgeBlank || first ||
        special.find(c) != std::string::npos) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

class Store {
 public:
  explicit Store(std::string file) : file_(std::move(file)) {
    lockFd_.reset(::open((file_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lockFd_) platform::GiveToUser(file_ + ".lock");
    if (!lockFd_ || ::flock(lockFd_.get(), LOCK_EX) != 0)
      Log("> Registry: Error: cannot lock " + file_ + ".lock: " + std::strerror(errno));
    Read();
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  RegKey* Find(const std::string& canonical) {
    for (auto& k : keys_)
      if (EqualsNoCase(k.path, canonical)) return &k;
    return nullptr;
  }
  bool Exists(const std::string& canonical) { return IsRoot(canonical) || Find(canonical); }

  // Creates the key and every missing key above it.
  RegKey* Create(const std::string& canonical) {
    if (IsRoot(canonical)) return GetOrAdd(canonical);
    size_t pos = canonical.find('\\');
    while (pos != std::string::npos) {
      pos = canonical.find('\\', pos + 1);
      GetOrAdd(canonical.substr(0, pos));
    }
    return Find(canonical);
  }

  // Names of the direct subkeys, sorted without regard to case.
  std::vector<std::string> Children(const std::string& canonical) {
    std::vector<std::string> names;
    const std::string prefix = canonical + "\\";
    for (const auto& k : keys_) {
      if (k.path.size() <= prefix.size() || !EqualsNoCase(k.path.substr(0, prefix.size()), prefix)) continue;
      std::string rest = k.path.substr(prefix.size());
      if (rest.find('\\') == std::string::npos) names.push_back(rest);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return Upper(a) < Upper(b);
    });
    return names;
  }

  bool Remove(const std::string& canonical) {
    if (IsRoot(canonical)) return false;
    RegKey* k = Find(canonical);
    if (!k || k->isProtected || !Children(canonical).empty()) return false;
    keys_.erase(keys_.begin() + (k - keys_.data()));
    return true;
  }

  // Deletes as much of the tree as can go; true when the key itself went.
  bool RemoveTree(const std::string& canonical) {
    size_t index = 0;
    for (;;) {
      std::vector<std::string> children = Children(canonical);
      if (index >= children.size()) break;
      // A subkey that cannot be deleted stays at its index: go on with the next.
      if (!RemoveTree(canonical + "\\" + children[index])) ++index;
    }
    return Remove(canonical);
  }

  bool Write() {
    // Rewriting a store that could not be read would drop everything in it.
    if (!readError_.empty()) {
      Log("> Registry: Error: " + file_ + " is not changed: " + readError_);
      return false;
    }
    std::string out = "\xEF\xBB\xBF\r\n";
    for (const auto& k : keys_) {
      out += "[" + Escape(k.path, "]", false) + "]\r\n";
      if (k.isProtected) out += std::string(kProtectedMark) + "\r\n";
      for (const auto& v : k.values) {
        out += (v.name.empty() ? std::string("@") : Escape(v.name, "=", true)) + " = " +
               std::to_string(v.type) + ":" + Escape(v.data, "", false) + "\r\n";
      }
    }
    std::string error;
    if (!AtomicWriteFile(file_, out, &error)) {
      Log("> Registry: Error: cannot write " + file_ + ": " + error);
      return false;
    }
    return true;
  }

 private:
  RegKey* GetOrAdd(const std::string& canonical) {
    if (RegKey* k = Find(canonical)) return k;
    keys_.push_back(RegKey{canonical, false, {}});
    return &keys_.back();
  }

  void Read() {
    IniFile ini = IniFile::Load(file_, &readError_);
    if (!readError_.empty()) Log("> Registry: Error: " + readError_);
    for (const auto& g : ini.Groups()) {
      if (g.name.empty()) continue;
      auto canonical = Canonical(Unescape(g.name));
      if (!canonical) continue;
      RegKey key{*canonical, false, {}};
      for (const auto& e : g.entries) {
        if (e.key == kProtectedMark) {
          key.isProtected = true;
          continue;
        }
        size_t colon = e.value.find(':');
        if (colon == std::string::npos) continue;
        RegValue v;
        v.name = e.key == "@" ? "" : Unescape(e.key);
        v.type = ParseLeadingInt32(e.value.substr(0, colon));
        v.data = Unescape(e.value.substr(colon + 1));
        key.values.push_back(std::move(v));
      }
      if (!Find(key.path)) keys_.push_back(std::move(key));
    }
  }

  std::string file_;
  std::string readError_;
  UniqueFd lockFd_;  // closing it releases the lock
  std::vector<RegKey> keys_;
};

std::string StoreFile() {
  std::lock_guard lock(g_mutex);
  return g_file.empty() ? Paths().ProgramDir + "registry.ini" : g_file;
}

RegValue* FindValue(RegKey* key, const std::string& name) {
  if (!key) return nullptr;
  for (auto& v : key->values)
    if (EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

// The store is read, changed and written under one lock, so that two threads or
// two processes never lose each other's changes.
std::mutex g_opMutex;

}  // namespace

void SetRegistryFile(const std::string& path) {
  std::lock_guard lock(g_mutex);
  g_file = path;
}

std::string RegistryFile() { return StoreFile(); }

int Reg_KeyExists(const std::string& keyPath) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  return s.Exists(*c) ? 1 : 0;
}

int Reg_CreateKey(const std::string& keyPath) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  if (s.Find(*c) || IsRoot(*c)) return 1;
  s.Create(*c);
  return s.Write() ? 1 : 0;
}

int Reg_ValueExists(const std::string& keyPath, const std::string& valueName) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  return FindValue(s.Find(*c), valueName) ? 1 : 0;
}

std::string Reg_GetValue(const std::string& keyPath, const std::string& valueName) {
  auto c = Canonical(keyPath);
  if (!c) return "";
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  const RegValue* v = FindValue(s.Find(*c), valueName);
  if (!v) return "";
  switch (v->type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return v->data;
    case REG_DWORD: {
      const std::string& d = v->data;
      bool ok = !d.empty() && d.find_first_not_of("-0123456789") == std::string::npos;
      return ok ? std::to_string(static_cast<int32_t>(ParseLeadingInt(d))) : "0";
    }
    case REG_BINARY:
      return v->data.substr(0, kMaxBinaryBytes * 2);
    default:
      return "";
  }
}

static std::string StoredData(const std::string& data, int type) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return data;
    case REG_DWORD:
      // Four bytes: larger numbers keep their low 32 bits.
      return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(ParseLeadingInt(data))));
    case REG_BINARY: {
      std::string hex;
      for (size_t i = 0; i + 1 < data.size(); i += 2) {
        // A pair is read by its leading hex digits ("1G" is 1, "GG" is 0).
        int hi = HexDigit(data[i]), lo = HexDigit(data[i + 1]);
        int byte = hi < 0 ? 0 : (lo < 0 ? hi : hi * 16 + lo);
        static constexpr char kHex[] = "0123456789ABCDEF";
        hex += kHex[(byte >> 4) & 15];
        hex += kHex[byte & 15];
      }
      return hex;
    }
    default:
      return "";
  }
}

int Reg_SetValue(const std::string& keyPath, const std::string& valueName, const std::string& data, int type) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  if (!s.Exists(*c)) return 0;
  if (type < REG_SZ || type > REG_DWORD) return 1;
  RegKey* key = s.Create(*c);
  if (RegValue* v = FindValue(key, valueName)) {
    v->type = type;
    v->data = StoredData(data, type);
  } else {
    key->values.push_back(RegValue{valueName, type, StoredData(data, type)});
  }
  s.Write();  // the result only says whether the key could be opened; a write failure is logged
  return 1;
}

int Reg_CreateValue(const std::string& keyPath, const std::string& valueName, const std::string& data, int type) {
  if (Reg_CreateKey(keyPath) == 0) return 0;
  return Reg_SetValue(keyPath, valueName, data, type);
}

int Reg_DeleteValue(const std::string& keyPath, const std::string& valueName) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  RegKey* key = s.Find(*c);
  const RegValue* v = FindValue(key, valueName);
  if (!v) return 0;
  key->values.erase(key->values.begin() + (v - key->values.data()));
  s.Write();
  return 1;
}

std::string Reg_GetSubKey(const std::string& keyPath, int index) {
  auto c = Canonical(keyPath);
  if (!c || index < 0) return "";
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  if (!s.Exists(*c)) return "";
  std::vector<std::string> children = s.Children(*c);
  return static_cast<size_t>(index) < children.size() ? children[static_cast<size_t>(index)] : "";
}

int Reg_DeleteKey(const std::string& keyPath) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  if (!s.Remove(*c)) return 0;
  return s.Write() ? 1 : 0;
}

int Reg_DeleteKeyTree(const std::string& keyPath) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  if (!s.Find(*c)) return 0;
  s.RemoveTree(*c);
  s.Write();
  return 0;
}

int Reg_DeleteKeyAll(const std::string& keyPath) {
  const int existed = Reg_KeyExists(keyPath);
  if (existed) Reg_DeleteKeyTree(keyPath);
  return existed;
}

int Reg_ProtectKey(const std::string& keyPath) {
  auto c = Canonical(keyPath);
  if (!c) return 0;
  std::lock_guard op(g_opMutex);
  Store s(StoreFile());
  RegKey* k = s.Find(*c);
  if (!k) return 0;
  k->isProtected = true;
  return s.Write() ? 1 : 0;
}

}  // namespace fk
