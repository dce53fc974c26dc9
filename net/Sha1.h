// SHA-1 of a file, for the digests Apple's catalogs give their packages.
#pragma once

#include <string>

namespace fk {

// The SHA-1 of the file's bytes in 40 lower-case hex digits; "" when it cannot be read.
std::string Sha1OfFile(const std::string& path);
// SHA-1 of a block of bytes, 40 lower-case hex digits.
std::string Sha1Hex(const std::string& bytes);

}  // namespace fk
