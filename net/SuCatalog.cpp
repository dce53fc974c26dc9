#include "net/SuCatalog.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "app/Log.h"
#include "net/RemoteUrls.h"

namespace fk {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The n-th (1-based) field of text split at sep; "" when there is none.
std::string Field(const std::string& text, const std::string& sep, int n) {
  size_t begin = 0;
  for (int i = 1; i < n; ++i) {
    const size_t at = text.find(sep, begin);
    if (at == std::string::npos) return {};
    begin = at + sep.size();
  }
  const size_t end = text.find(sep, begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

int LeadingNumber(const std::string& text) {
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || v > 100000) break;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

const char* CatalogChannelWord(int channel) {
  switch (channel) {
    case 0: return "regular";
    case 1: return "customerseed";
    case 2: return "seed";
    case 3: return "beta";
  }
  return "";
}

std::string MakeSucatalogURL(std::vector<SUCatalogURLEntry>& list, int channel, int minor) {
  if (minor < 9 || channel < 0 || channel > 3) return {};
  std::string path = "/content/catalogs/others/index";
  if (channel != 0) path += "-10." + std::to_string(minor) + CatalogChannelWord(channel);
  for (int k = minor; k >= 9; --k) path += "-10." + std::to_string(k);
  path += "-mountainlion-lion-snowleopard-leopard.merged-1.sucatalog";
  const std::string url = AppleCatalogBaseUrl() + path;
  const std::string name = "10." + std::to_string(minor) + " " + CatalogChannelWord(channel);
  const size_t before = list.size();
  Add2SUCatalogURLList(list, name, url);
  if (list.size() > before) Log("> MakeSucatalogURL: " + list.back().Name + ": " + list.back().URL);
  return url;
}

std::string MakeSucatalogURL(int channel, int minor) {
  return MakeSucatalogURL(SavedSettings().SUCatalogURLList, channel, minor);
}

void Add2SUCatalogURLList(std::vector<SUCatalogURLEntry>& list, const std::string& name, const std::string& url) {
  if (name.empty() || url.empty()) return;
  const std::string low = Lower(url);
  if (low.rfind("http", 0) != 0 || low.find("index-") == std::string::npos) {
    Log("> Add2SUCatalogURLList: Invalid URL: " + url);
    return;
  }
  SUCatalogURLEntry e{name, url, LeadingNumber(Field(name, "10.", 2))};
  if (e.OSNumber == 0) {
    const std::string second = Lower(Field(url, "-", 2));
    if (second == "mountainlion") e.OSNumber = 8;
    else if (second == "lion") e.OSNumber = 7;
  }
  Log("> Add2SUCatalogURLList: ++++++++++++++++ " + std::to_string(e.OSNumber));
  Log("> Add2SUCatalogURLList: OSNumber: 10." + std::to_string(e.OSNumber) + ": " + name + ": " + url);
  list.push_back(std::move(e));
}

void RemoveDoublesSUCatalogURL(std::vector<SUCatalogURLEntry>& list) {
  if (list.empty()) return;
  Log("> RemoveDoublesSUCatalogURL: Start ListSize: " + std::to_string(list.size()));
  std::set<std::string> seen;
  std::vector<SUCatalogURLEntry> kept;
  for (auto& e : list) {
    if (!seen.insert(e.URL).second) {
      Log("> RemoveDoublesSUCatalogURL: Remove Doubles Element: " + e.Name + ": " + e.URL);
      continue;
    }
    kept.push_back(std::move(e));
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const SUCatalogURLEntry& a, const SUCatalogURLEntry& b) { return a.OSNumber < b.OSNumber; });
  list = std::move(kept);
  Log("> RemoveDoublesSUCatalogURL: End ListSize: " + std::to_string(list.size()));
}

void InstallCatalogListHooks() {
  CatalogListHooks h;
  h.makeSucatalogURL = [](int channel, int minor) { return MakeSucatalogURL(channel, minor); };
  h.add2SUCatalogURLList = [](std::vector<SUCatalogURLEntry>& list, const std::string& name,
                              const std::string& url) { Add2SUCatalogURLList(list, name, url); };
  h.removeDoublesSUCatalogURL = [](std::vector<SUCatalogURLEntry>& list) { RemoveDoublesSUCatalogURL(list); };
  SetCatalogListHooks(std::move(h));
}

std::string GetOSNameFromBuild(const std::string& build) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"9", "Leopard"},   {"10", "Snow Leopard"}, {"11", "Lion"},       {"12", "Mountain Lion"},
      {"13", "Mavericks"}, {"14", "Yosemite"},    {"15", "El Capitan"}, {"16", "Sierra"},
      {"17", "High Sierra"}, {"18", "Mojave"},    {"19", "Catalina"},   {"20", "macOS "},
  };
  const std::string key = build.substr(0, 2);
  for (const auto& [k, name] : kNames)
    if (key == k) return name;
  return "macOS";
}

std::string GetProductID(const std::string& url) {
  // The path part: after the authority when the URL has one.
  std::string path = url;
  if (const size_t scheme = url.find("://"); scheme != std::string::npos) {
    const size_t slash = url.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string() : url.substr(slash);
  }
  if (const size_t q = path.find_first_of("?#"); q != std::string::npos) path.resize(q);
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string field = path.substr(begin, end - begin);
    if (field.find('-') != std::string::npos) {
      if (std::count(field.begin(), field.end(), '-') > 1) return Field(field, "-", 1) + "-" + Field(field, "-", 2);
      return field;
    }
    begin = end + 1;
  }
  return {};
}

}  // namespace fk
