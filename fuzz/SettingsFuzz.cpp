// The settings file and the group/key reader under it: any text loads, and
// what is loaded survives a save and a second load unchanged.
#include <string>

#include "app/IniFile.h"
#include "app/Settings.h"
#include "fuzz/FuzzSupport.h"

using namespace fk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::AsText(data, size);
  const IniFile ini = IniFile::Parse(text);
  for (const IniGroup& g : ini.Groups()) {
    FK_FUZZ_CHECK(g.name.find_first_of("\r\n") == std::string::npos, g.name);
    for (const IniEntry& e : g.entries) {
      FK_FUZZ_CHECK(e.key.find_first_of("\r\n") == std::string::npos, e.key);
      FK_FUZZ_CHECK(e.value.find('\n') == std::string::npos, e.value);
      FK_FUZZ_CHECK(TrimBlanks(e.value) == e.value, "value not trimmed: [" + e.value + "]");
    }
  }

  Settings loaded;
  SettingsFromIni(ini, loaded);
  const std::string saved = SettingsFileText(loaded);
  Settings again;
  SettingsFromIni(IniFile::Parse(saved), again);
  FK_FUZZ_CHECK(again == loaded, "settings changed by a save and a load:\n" + saved);
  FK_FUZZ_CHECK(SettingsFileText(again) == saved, "the second save differs");
  return 0;
}
