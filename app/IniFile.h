// Reading of the program's group/key text files (settings, registry store):
// groups in "[...]", entries "key = value", comments beginning with ";".
// Files with a UTF-8 byte-order mark are UTF-8; a file without one is UTF-8
// when it is valid UTF-8, else Windows-1252 text converted to UTF-8 on reading.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fk {

// Largest group/key file read; anything bigger is damaged, not data.
inline constexpr int64_t kMaxIniFileBytes = 16 * 1024 * 1024;

struct IniEntry {
  std::string key;
  std::string value;  // blanks and tabs removed at both ends
};

struct IniGroup {
  std::string name;
  std::vector<IniEntry> entries;  // in file order
};

class IniFile {
 public:
  // Parses text as stored on disk (BOM decides the encoding).
  static IniFile Parse(std::string_view fileBytes);
  // Reads a file; a missing file gives an empty IniFile. A file that exists
  // but cannot be read whole (read error, not a regular file, larger than
  // kMaxIniFileBytes) gives an empty IniFile too, with *error saying why.
  static IniFile Load(const std::string& path, std::string* error = nullptr);

  // First group of that name, compared without regard to case; nullptr if absent.
  const IniGroup* Group(std::string_view name) const;
  // Value of the first entry with that key in the group (case-insensitive).
  std::optional<std::string> Value(std::string_view group, std::string_view key) const;
  std::string Text(std::string_view group, std::string_view key, const std::string& def) const;
  int Integer(std::string_view group, std::string_view key, int def) const;

  const std::vector<IniGroup>& Groups() const { return groups_; }
  bool HadBom() const { return hadBom_; }

 private:
  std::vector<IniGroup> groups_;
  bool hadBom_ = false;
};

// Leading decimal digits with an optional sign, after leading blanks; text
// without digits reads as 0. Saturates instead of overflowing.
int64_t ParseLeadingInt(std::string_view text);
// ParseLeadingInt clamped to the int range.
int ParseLeadingInt32(std::string_view text);

// True when text is well-formed UTF-8 (no overlong forms or surrogates).
bool IsValidUtf8(std::string_view text);
// Windows-1252 bytes to UTF-8.
std::string Cp1252ToUtf8(std::string_view text);

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string TrimBlanks(std::string_view s);  // spaces and tabs at both ends

}  // namespace fk

namespace fk {

// Replaces path with data safely: writes a temporary file in the same
// directory, flushes it to disk and renames it over path (a symbolic link at
// path is followed, so its target is replaced). beforeRename, when set, is
// called with the temporary path and may stop the replacement by returning
// false. On any failure the old file is untouched, the temporary file is
// removed and *error (when given) says why.
bool AtomicWriteFile(const std::string& path, std::string_view data, std::string* error = nullptr,
                     const std::function<bool(const std::string&)>& beforeRename = {});

}  // namespace fk
