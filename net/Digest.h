// Digests: MD5, SHA-1 and SHA-256 (block hashing shared by the three), and
// file digests named by their length: 32 hex digits MD5, 40 SHA-1, 64 SHA-256.
#pragma once

#include <string>

namespace fk {

// "MD5", "SHA-1" or "SHA-256" for a hex digest of that length; "" otherwise.
std::string DigestKindOf(const std::string& hexDigest);
// The digest of the file's bytes of the kind hexDigest's length names, in
// lower-case hex; "" when the kind is unknown or the file cannot be read.
std::string FileDigestLike(const std::string& path, const std::string& hexDigest);
// MD5, SHA-1 and SHA-256 of a block of bytes, lower-case hex.
std::string Md5Hex(const std::string& bytes);
std::string Sha1Hex(const std::string& bytes);
std::string Sha256Hex(const std::string& bytes);
// The SHA-1 of the file's bytes (the digest Apple's catalogs give their
// packages) in 40 lower-case hex digits; "" when it cannot be read.
std::string Sha1OfFile(const std::string& path);

}  // namespace fk
