// The packs embedded in this build (generated list; which ones exist depends on
// the build configuration).
#pragma once

#include <cstddef>
#include <vector>

namespace fk::resources {

struct PackBlob {
  const char* name;  // "Pack_UnpackCloverISO", ...
  const unsigned char* data;
  const std::size_t* size;
};

const std::vector<PackBlob>& EmbeddedPacks();

}  // namespace fk::resources
