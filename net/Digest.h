// File digests named by their length: 32 hex digits MD5, 40 SHA-1, 64 SHA-256.
#pragma once

#include <string>

namespace fk {

// "MD5", "SHA-1" or "SHA-256" for a hex digest of that length; "" otherwise.
std::string DigestKindOf(const std::string& hexDigest);
// The digest of the file's bytes of the kind hexDigest's length names, in
// lower-case hex; "" when the kind is unknown or the file cannot be read.
std::string FileDigestLike(const std::string& path, const std::string& hexDigest);
// MD5 and SHA-256 of a block of bytes, lower-case hex.
std::string Md5Hex(const std::string& bytes);
std::string Sha256Hex(const std::string& bytes);

}  // namespace fk
