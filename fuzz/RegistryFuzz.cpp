// The registry store file: any content is read without harm, and a value
// set through the store reads back as it was given, while every value that
// was readable before keeps its data.
#include <map>
#include <string>
#include <utility>

#include "app/IniFile.h"
#include "app/Registry.h"
#include "fuzz/FuzzSupport.h"

using namespace fk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input: "<name>\n<data>\n" for the value to set, then the store file.
  std::string_view in = fuzz::AsText(data, size);
  auto takeLine = [&in]() {
    const size_t nl = in.find('\n');
    std::string line(in.substr(0, nl));
    in.remove_prefix(nl == std::string_view::npos ? in.size() : nl + 1);
    return line;
  };
  const std::string name = takeLine();
  const std::string text = takeLine();
  const std::string store = fuzz::ScratchDir() + "/registry.ini";
  fuzz::WriteFile(store, in);
  SetRegistryFile(store);

  // What the store holds before: every value of the first groups, by key path and name.
  std::map<std::pair<std::string, std::string>, std::string> before;
  const IniFile ini = IniFile::Parse(in);
  int groups = 0;
  for (const IniGroup& g : ini.Groups()) {
    if (g.name.empty() || ++groups > 8) continue;
    if (!Reg_KeyExists(g.name)) continue;
    for (int i = 0; !Reg_GetSubKey(g.name, i).empty() && i < 16; ++i) {
    }
    for (const IniEntry& e : g.entries)
      if (Reg_ValueExists(g.name, e.key)) before[{g.name, e.key}] = Reg_GetValue(g.name, e.key);
  }

  const std::string key = "HKEY_CURRENT_USER\\Software\\FuzzKey";
  if (Reg_CreateKey(key) && Reg_SetValue(key, name, text, REG_SZ)) {
    FK_FUZZ_CHECK(Reg_ValueExists(key, name) == 1, name);
    const std::string back = Reg_GetValue(key, name);
    FK_FUZZ_CHECK(back == text, "set [" + text + "] read [" + back + "]");
    for (const auto& [where, value] : before) {
      if (EqualsNoCase(where.first, key) && where.second == name) continue;
      const std::string now = Reg_GetValue(where.first, where.second);
      FK_FUZZ_CHECK(now == value, where.first + " " + where.second + ": was [" + value + "] now [" + now + "]");
    }
  }
  return 0;
}
