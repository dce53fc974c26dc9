// Where the program reaches the outside world: every remote base address in
// one place, each overridable by an environment variable (mirrors, closed
// networks, tests against local servers).
//
//   FLASHKEEL_GITHUB         the release site (archive downloads)  https://github.com
//   FLASHKEEL_GITHUB_API     the release site's REST API host       https://api.github.com
//   FLASHKEEL_APPLE_CATALOG  the software-update catalog host       https://swscan.apple.com
//   FLASHKEEL_SITE           the program's own site (DLList.ini)    https://flashkeel.github.io
//   FLASHKEEL_CA_FILE        a PEM file of extra certificate authorities trusted for https
//
// The base addresses carry a scheme and a host (and optionally a port or a
// path prefix) and never end in '/'; callers append a path starting with '/'.
// The variables are read on every call, so a change takes effect at once.
#pragma once

#include <string>

namespace fk {

inline constexpr const char* kEnvGithub = "FLASHKEEL_GITHUB";
inline constexpr const char* kEnvGithubApi = "FLASHKEEL_GITHUB_API";
inline constexpr const char* kEnvAppleCatalog = "FLASHKEEL_APPLE_CATALOG";
inline constexpr const char* kEnvSite = "FLASHKEEL_SITE";
inline constexpr const char* kEnvCAFile = "FLASHKEEL_CA_FILE";

inline constexpr const char* kDefaultGithub = "https://github.com";
inline constexpr const char* kDefaultGithubApi = "https://api.github.com";
inline constexpr const char* kDefaultAppleCatalog = "https://swscan.apple.com";
inline constexpr const char* kDefaultSite = "https://flashkeel.github.io";

std::string GithubBaseUrl();
std::string GithubApiBaseUrl();
std::string AppleCatalogBaseUrl();
std::string SiteBaseUrl();
// The extra certificate-authority file; "" when none is configured.
std::string ExtraCAFile();

// Replaces the host part of a URL that starts with defaultBase by base
// (e.g. a built-in catalog address moved to a mirror); other URLs unchanged.
std::string RebaseUrl(const std::string& url, const std::string& defaultBase, const std::string& base);

}  // namespace fk
