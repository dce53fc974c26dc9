// The release list of the Clover site: any page of JSON is read without harm,
// the revisions found are positive, highest first and unique, and the
// archive names of a set of revisions give back exactly that set.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "net/CloverRelease.h"

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
