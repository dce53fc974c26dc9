// The catalog walk over a catalog of about 6 MB (the 10.15 fixture's products
// repeated with new ids) next to Python's plistlib making the same selection.
// Prints both CPU times and their ratio from one run each.
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/CatalogWalk.h"
#include "platform/Process.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
}

// CPU time of this process: the machine is shared, so wall time would
// measure the neighbours as much as the walk. Python measures the same way.
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const char* kPython = R"PY(
import plistlib, sys, time
data = open(sys.argv[1], 'rb').read()
t0 = time.process_time()
root = plistlib.loads(data)
found = []
for pid, product in root['Products'].items():
    dists = product.get('Distributions', {})
    dist = dists.get('English') or dists.get('en') or ''
    for pkg in product.get('Packages', []):
        url = pkg.get('URL', '')
        if 'recoveryhd' in url.lower():
            found.append((url, pkg.get('Digest', ''), pkg.get('Size', 0), pkg.get('MetadataURL', ''),
                          product.get('PostDate'), dist))
t1 = time.process_time()
print(len(found), t1 - t0)
)PY";

}  // namespace

int main(int argc, char** argv) {
  // The fixture: the first argument, else the one in the source tree.
  std::string fixturePath = argc > 1 ? argv[1] : "";
#ifdef FK_SOURCE_DIR
  if (fixturePath.empty())
    fixturePath = std::string(FK_SOURCE_DIR) + "/tests/fixtures/apple/sucatalog-10.15-trimmed.xml";
#endif
  const std::string fixture = fixturePath.empty() ? std::string() : ReadFile(fixturePath);
  const std::string open = "<key>Products</key>\n        <dict>\n";
  const size_t begin = fixture.find(open);
  const size_t end = fixture.rfind("        </dict>\n    </dict>\n</plist>");
  if (fixture.empty() || begin == std::string::npos || end == std::string::npos) {
    std::fprintf(stderr, "catalog_walk: the fixture is missing or not as expected\n");
    return 1;
  }
  const std::string head = fixture.substr(0, begin + open.size());
  const std::string products = fixture.substr(begin + open.size(), end - begin - open.size());
  const std::string tail = fixture.substr(end);

  std::string catalog = head;
  int copies = 0;
  while (catalog.size() < 6 * 1000 * 1000) {
    std::string copy = products;
    const std::string tag = std::to_string(100 + copies % 900) + std::to_string(copies / 900);
    for (const char* id : {"061-1955", "001-51042", "061-78585", "071-29320"})
      ReplaceAll(copy, id, std::string(id) + tag);
    catalog += copy;
    ++copies;
  }
  catalog += tail;

  const std::string path = std::filesystem::temp_directory_path() / "fk_bench_catalog.xml";
  std::ofstream(path, std::ios::binary) << catalog;

  const double t0 = CpuSeconds();
  std::vector<fk::CatalogPackage> found;
  const fk::CatalogWalkResult r = fk::ExtractXMLProductInfo(catalog, "RecoveryHD", found);
  const double walk = CpuSeconds() - t0;
  if (r.status != fk::CatalogStatus::Ok) {
    std::fprintf(stderr, "catalog_walk: walk failed: %s\n", r.message.c_str());
    return 1;
  }

  fk::ProcessRequest req;
  req.argv = {"python3", "-c", kPython, path};
  req.mergeStderr = false;
  req.timeoutMs = 300000;
  const fk::ProcessResult py = fk::RunProcess(req);
  std::filesystem::remove(path);
  size_t pyFound = 0;
  double pyTime = 0;
  if (py.exitCode != 0 || std::sscanf(py.output.c_str(), "%zu %lf", &pyFound, &pyTime) != 2) {
    std::fprintf(stderr, "catalog_walk: python3 failed: %s\n", py.output.c_str());
    return 1;
  }
  std::printf("catalog: %.1f MB, %d products, %zu RecoveryHD packages (plistlib: %zu)\n", catalog.size() / 1e6,
              r.products, found.size(), pyFound);
  std::printf("walk (expat, streaming): %.1f ms CPU\n", walk * 1000);
  std::printf("plistlib load + selection: %.1f ms CPU\n", pyTime * 1000);
  std::printf("ratio walk/plistlib: %.3f\n", walk / pyTime);
  return found.size() == pyFound ? 0 : 1;
}
