#include "platform/SystemInfo.h"

namespace fk {

std::string OSVersionName(int code) {
  switch (code) {
    case 60: return "XP";
    case 65: return "Server 2003";
    case 70: return "Vista";
    case 75: return "Server 2008";
    case 80: return "7";
    case 85: return "Server 2008 R2";
    case 90: return "8";
    case 95: return "Server 2012";
    case 100: return "8.1";
    case 105: return "Server 2012 R2";
    case 110: return "10";
    case 200: return "Unknown";
    default: return "";
  }
}

std::string LocaleToMuiName(const std::string& v) {
  if (v.empty() || v == "C" || v == "POSIX") return "";
  // language[_territory][.codeset][@modifier]
  size_t cut = v.find_first_of(".@");
  std::string base = v.substr(0, cut);
  if (base.empty() || base == "C" || base == "POSIX") return "";
  size_t us = base.find('_');
  std::string lang = base.substr(0, us);
  for (char c : lang)
    if (c < 'a' || c > 'z') return "";
  if (lang.size() < 2 || lang.size() > 3) return "";
  if (us == std::string::npos) return lang;
  std::string territory = base.substr(us + 1);
  if (territory.empty()) return lang;
  return lang + "-" + territory;
}

}  // namespace fk
