// The release list of the Clover site: any page of JSON is read without harm,
// the revisions found are positive, highest first and unique, and the
// archive names of a set of revisions give back exactly that set. The same
// bytes as response headers: the next page's address is taken from inside
// the Link header's angle brackets, and a request-limit text needs the
// refusing status and a remaining count of 0.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "net/CloverRelease.h"
#include "net/Http.h"

using namespace fk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string json(fuzz::AsText(data, size));
  std::vector<std::string> names;
  std::string error;
  if (CloverAssetNamesOfReleases(json, &names, &error)) {
    const std::vector<int> revs = CloverRevisionsOf(names);
    for (size_t i = 0; i < revs.size(); ++i) {
      FK_FUZZ_CHECK(revs[i] > 0, std::to_string(revs[i]));
      FK_FUZZ_CHECK(i == 0 || revs[i - 1] > revs[i], "order");
    }
  } else {
    FK_FUZZ_CHECK(!error.empty(), "refused without reason");
  }

  HTTPTransfer t;
  t.ResponseHeaders.push_back("HTTP/1.1 200 OK");
  for (size_t pos = 0; pos <= json.size();) {
    const size_t nl = std::min(json.find('\n', pos), json.size());
    t.ResponseHeaders.push_back(json.substr(pos, nl - pos));
    pos = nl + 1;
  }
  const std::string next = NextPageUrl(t.ResponseHeaders);
  if (!next.empty()) {
    const size_t at = json.find("<" + next + ">");
    FK_FUZZ_CHECK(at != std::string::npos && next.find_first_of(">,") == std::string::npos, next);
  }
  t.iStatusCode = 200;
  FK_FUZZ_CHECK(!RateLimitMessage(t), "a limit text for a page that came");
  t.iStatusCode = 403 + (size & 1) * 26;
  if (auto text = RateLimitMessage(t))
    FK_FUZZ_CHECK(text->rfind("The release site's request limit is reached: check again ", 0) == 0, *text);

  // Revisions from the input bytes, 3 bytes each, as archive names among other assets.
  std::vector<int> want;
  std::vector<std::string> assets;
  for (size_t i = 0; i + 3 <= std::min<size_t>(size, 60); i += 3) {
    const int rev = 1 + (data[i] | data[i + 1] << 8 | data[i + 2] << 16) % 99999;
    want.push_back(rev);
    assets.push_back(CloverArchiveName(std::to_string(rev)));
    assets.push_back("Clover-" + std::to_string(rev) + ".pkg");
    assets.push_back("CloverV2-" + std::to_string(rev) + ".zip");
  }
  std::sort(want.begin(), want.end(), std::greater<int>());
  want.erase(std::unique(want.begin(), want.end()), want.end());
  FK_FUZZ_CHECK(CloverRevisionsOf(assets) == want, "revisions of archive names");
  return 0;
}
