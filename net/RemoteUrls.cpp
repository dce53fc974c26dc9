#include "net/RemoteUrls.h"

#include <cstdlib>

namespace fk {

namespace {

// The variable's value without trailing '/', or the default when it is unset or empty.
std::string BaseFromEnv(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  std::string s = (v && *v) ? std::string(v) : std::string(fallback);
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

}  // namespace

std::string GithubBaseUrl() { return BaseFromEnv(kEnvGithub, kDefaultGithub); }
std::string GithubApiBaseUrl() { return BaseFromEnv(kEnvGithubApi, kDefaultGithubApi); }
std::string AppleCatalogBaseUrl() { return BaseFromEnv(kEnvAppleCatalog, kDefaultAppleCatalog); }
std::string SiteBaseUrl() { return BaseFromEnv(kEnvSite, kDefaultSite); }

std::string ExtraCAFile() {
  const char* v = std::getenv(kEnvCAFile);
  return (v && *v) ? std::string(v) : std::string();
}

std::string RebaseUrl(const std::string& url, const std::string& defaultBase, const std::string& base) {
  if (base == defaultBase || url.compare(0, defaultBase.size(), defaultBase) != 0) return url;
  const std::string rest = url.substr(defaultBase.size());
  if (!rest.empty() && rest[0] != '/' && rest[0] != '?') return url;  // another host sharing the prefix
  return base + rest;
}

}  // namespace fk
