// Facts about the running system for the debug log header and for the parts
// that ask for the operating-system class or the user's language.
#pragma once

#include <cstdint>
#include <string>

namespace fk {

// Operating-system class as the program's Windows classes number them; on
// Linux none of them applies: 200 ("Unknown").
int OSVersion();
// Name of a class for the log header: "XP", "10", "Unknown", "" for classes
// without a name.
std::string OSVersionName(int osVersionCode);
// Non-zero when the process is a 32-bit process on a 64-bit Windows; 0 here.
int IsWow64();

// The user's language as a locale name such as "ru-RU", taken from LC_ALL,
// LC_MESSAGES, LANG (the first one set); "en-US" when none names a language.
std::string GetCurrentMUI();
// The conversion GetCurrentMUI applies to one locale value ("ru_RU.UTF-8" ->
// "ru-RU"); "" for "C", "POSIX" and values without a language.
std::string LocaleToMuiName(const std::string& localeValue);

// "Linux 64-bit [<PRETTY_NAME> <kernel release>]"; without the bracket part
// when neither can be read.
std::string SystemDescription();
// Processor brand string with leading blanks removed; "Unknown CPU" when it
// cannot be read.
std::string CpuBrandString();

struct MemoryInfo {
  int64_t totalBytes = 0;
  int64_t availableBytes = 0;
};
MemoryInfo PhysicalMemory();

}  // namespace fk
