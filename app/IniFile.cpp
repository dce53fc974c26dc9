#include "app/IniFile.h"

#include "platform/UserFolders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <climits>
#include <filesystem>

#include "platform/UniqueFd.h"

namespace fk {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string TrimBlanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

int64_t ParseLeadingInt(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  uint64_t v = 0;
  bool saturated = false;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    if (v > (static_cast<uint64_t>(INT64_MAX) - 9) / 10) saturated = true;
    if (!saturated) v = v * 10 + static_cast<uint64_t>(t[i] - '0');
  }
  if (saturated) return neg ? INT64_MIN : INT64_MAX;
  return neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

int ParseLeadingInt32(std::string_view text) {
  int64_t v = ParseLeadingInt(text);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

static void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string Cp1252ToUtf8(std::string_view text) {
  // 0x80..0x9F; the five unassigned bytes map to the C1 control of the same
  // value, as the Windows conversion does.
  static constexpr uint16_t k80[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) out += c;
    else if (b < 0xA0) AppendUtf8(out, k80[b - 0x80]);
    else AppendUtf8(out, b);
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    uint32_t cp, min;
    if ((b & 0xE0) == 0xC0) n = 1, cp = b & 0x1F, min = 0x80;
    else if ((b & 0xF0) == 0xE0) n = 2, cp = b & 0x0F, min = 0x800;
    else if ((b & 0xF8) == 0xF0) n = 3, cp = b & 0x07, min = 0x10000;
    else return false;
    if (n >= text.size() - i) return false;
    for (size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not UTF-8.
    if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += n + 1;
  }
  return true;
}

IniFile IniFile::Parse(std::string_view bytes) {
  IniFile ini;
  std::string converted;
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    ini.hadBom_ = true;
    bytes.remove_prefix(3);
  } else if (!IsValidUtf8(bytes)) {
    // Without a mark, text that is valid UTF-8 (a file written by hand on
    // this system) is taken as it is; anything else is Windows-1252.
    converted = Cp1252ToUtf8(bytes);
    bytes = converted;
  }
  IniGroup* current = nullptr;
  // Entries before the first group belong to an unnamed group.
  ini.groups_.push_back(IniGroup{});
  current = &ini.groups_.back();
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end;
    // A NUL byte (a damaged file, or a file filled with zeros by a crash)
    // ends the line's text: values are used as C strings (paths) later, and
    // a value that silently differs from what it says is worse than a cut one.
    if (const size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
    if (pos < bytes.size() && bytes[pos] == '\r') ++pos;
    if (pos < bytes.size() && bytes[pos] == '\n') ++pos;

    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    line.remove_prefix(i);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
      ini.groups_.push_back(IniGroup{TrimBlanks(name), {}});
      current = &ini.groups_.back();
      continue;
    }
    size_t eq = line.find('=');
    IniEntry e;
    if (eq == std::string_view::npos) {
      e.key = TrimBlanks(line);
    } else {
      e.key = TrimBlanks(line.substr(0, eq));
      e.value = TrimBlanks(line.substr(eq + 1));
    }
    if (!e.key.empty()) current->entries.push_back(std::move(e));
  }
  return ini;
}

IniFile IniFile::Load(const std::string& path, std::string* error) {
  if (error) error->clear();
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return IniFile{};
  };
  // O_NONBLOCK: a FIFO at the path must not stall the open (it is refused below).
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  const int fd = file.get();
  if (fd < 0) {
    if (errno == ENOENT) return IniFile{};
    return fail(std::string("cannot open ") + path + ": " + std::strerror(errno));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(std::string("cannot read ") + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail(path + " is not a regular file");
  if (st.st_size > kMaxIniFileBytes)
    return fail(path + " is too large (" + std::to_string(st.st_size) + " bytes)");
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(std::string("cannot read ") + path + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > static_cast<size_t>(kMaxIniFileBytes)) return fail(path + " is too large");
  }
  return Parse(data);
}

const IniGroup* IniFile::Group(std::string_view name) const {
  for (size_t i = 1; i < groups_.size(); ++i)
    if (EqualsNoCase(groups_[i].name, name)) return &groups_[i];
  return nullptr;
}

std::optional<std::string> IniFile::Value(std::string_view group, std::string_view key) const {
  const IniGroup* g = Group(group);
  if (!g) return std::nullopt;
  for (const auto& e : g->entries)
    if (EqualsNoCase(e.key, key)) return e.value;
  return std::nullopt;
}

std::string IniFile::Text(std::string_view group, std::string_view key, const std::string& def) const {
  auto v = Value(group, key);
  return v ? *v : def;
}

int IniFile::Integer(std::string_view group, std::string_view key, int def) const {
  auto v = Value(group, key);
  return v ? ParseLeadingInt32(*v) : def;
}

bool AtomicWriteFile(const std::string& pathIn, std::string_view data, std::string* error,
                     const std::function<bool(const std::string&)>& beforeRename) {
  namespace fs = std::filesystem;
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  std::string path = pathIn;
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(path, ec))) {
    fs::path target = fs::weakly_canonical(path, ec);
    if (!ec) path = target.string();
  }
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string dir = fs::path(path).parent_path().string();
  if (dir.empty()) dir = ".";
  std::string templ = path + ".XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  UniqueFd fd(::mkostemp(buf.data(), O_CLOEXEC));
  if (!fd) return fail(std::string("cannot create a file in ") + dir + ": " + std::strerror(errno));
  std::string tmp = buf.data();
  auto abandon = [&](const std::string& what) {
    fd.Close();
    ::unlink(tmp.c_str());
    return fail(what);
  };
  ::fchmod(fd.get(), mode);
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(std::string("write error on ") + tmp + ": " + std::strerror(errno));
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0) return abandon(std::string("fsync error on ") + tmp + ": " + std::strerror(errno));
  if (fd.Close() != 0) return abandon(std::string("close error on ") + tmp + ": " + std::strerror(errno));
  if (beforeRename && !beforeRename(tmp)) return abandon("save stopped before the rename");
  if (::rename(tmp.c_str(), path.c_str()) != 0)
    return abandon(std::string("cannot rename ") + tmp + " to " + path + ": " + std::strerror(errno));
  platform::GiveToUser(path);
  if (const UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dfd) ::fsync(dfd.get());
  return true;
}

}  // namespace fk
