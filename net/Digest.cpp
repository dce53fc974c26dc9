#include "net/Digest.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>


namespace fk {

namespace {

uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Block hashing shared by MD5 (little-endian length) and SHA-256 (big-endian).
template <class Compress>
class BlockHash {
 public:
  explicit BlockHash(bool bigEndian) : big_(bigEndian) {}
  void Update(const unsigned char* p, size_t n, Compress& c) {
    total_ += n;
    while (n > 0) {
      const size_t take = std::min(n, sizeof block_ - used_);
      std::memcpy(block_ + used_, p, take);
      used_ += take;
      p += take;
      n -= take;
      if (used_ == sizeof block_) {
        c(block_);
        used_ = 0;
      }
    }
  }
  void Finish(Compress& c) {
    const uint64_t bits = total_ * 8;
    const unsigned char one = 0x80, zero = 0;
    Update(&one, 1, c);
    while (used_ != 56) Update(&zero, 1, c);
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (big_ ? 56 - 8 * i : 8 * i));
    Update(len, 8, c);
  }

 private:
  bool big_;
  unsigned char block_[64] = {};
  size_t used_ = 0;
  uint64_t total_ = 0;
};

struct Md5 {
  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  void operator()(const unsigned char* b) {
    static const uint32_t k[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const int r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,
                              14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                              4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
      m[i] = uint32_t(b[4 * i]) | uint32_t(b[4 * i + 1]) << 8 | uint32_t(b[4 * i + 2]) << 16 |
             uint32_t(b[4 * i + 3]) << 24;
    uint32_t a = h[0], bb = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      if (i < 16) f = (bb & c) | (~bb & d), g = i;
      else if (i < 32) f = (d & bb) | (~d & c), g = (5 * i + 1) % 16;
      else if (i < 48) f = bb ^ c ^ d, g = (3 * i + 5) % 16;
      else f = c ^ (bb | ~d), g = (7 * i) % 16;
      const uint32_t t = d;
      d = c;
      c = bb;
      bb = bb + Rotl(a + f + k[i] + m[g], r[i]);
      a = t;
    }
    h[0] += a, h[1] += bb, h[2] += c, h[3] += d;
  }
  std::string Hex() const {
    static const char* x = "0123456789abcdef";
    std::string s;
    for (uint32_t v : h)
      for (int i = 0; i < 4; ++i) {
        const unsigned byte = (v >> (8 * i)) & 0xff;
        s += x[byte >> 4], s += x[byte & 15];
      }
    return s;
  }
};

// Lower-case hex of big-endian words.
template <size_t N>
std::string BigEndianHex(const uint32_t (&h)[N]) {
  static const char* x = "0123456789abcdef";
  std::string s;
  for (uint32_t val : h)
    for (int shift = 28; shift >= 0; shift -= 4) s += x[(val >> shift) & 0xF];
  return s;
}

struct Sha1 {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  void operator()(const unsigned char* b) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t{b[4 * i]} << 24 | uint32_t{b[4 * i + 1]} << 16 | uint32_t{b[4 * i + 2]} << 8 | b[4 * i + 3];
    for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], bb = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (bb & c) | (~bb & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = bb ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (bb & c) | (bb & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = bb ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const uint32_t t = Rotl(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = Rotl(bb, 30);
      bb = a;
      a = t;
    }
    h[0] += a;
    h[1] += bb;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  std::string Hex() const { return BigEndianHex(h); }
};

struct Sha256 {
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  void operator()(const unsigned char* b) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t(b[4 * i]) << 24 | uint32_t(b[4 * i + 1]) << 16 | uint32_t(b[4 * i + 2]) << 8 |
             uint32_t(b[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    std::memcpy(v, h, sizeof v);
    for (int i = 0; i < 64; ++i) {
      const uint32_t s1 = Rotr(v[4], 6) ^ Rotr(v[4], 11) ^ Rotr(v[4], 25);
      const uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
      const uint32_t t1 = v[7] + s1 + ch + k[i] + w[i];
      const uint32_t s0 = Rotr(v[0], 2) ^ Rotr(v[0], 13) ^ Rotr(v[0], 22);
      const uint32_t t2 = s0 + ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
      std::memmove(v + 1, v, 7 * sizeof(uint32_t));
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) h[i] += v[i];
  }
  std::string Hex() const { return BigEndianHex(h); }
};

template <class H>
std::string HashBytes(const std::string& bytes, bool big) {
  H h;
  BlockHash<H> b(big);
  b.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), h);
  b.Finish(h);
  return h.Hex();
}

template <class H>
std::string HashFile(const std::string& path, bool big) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  H h;
  BlockHash<H> b(big);
  std::vector<char> buf(1 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const auto n = in.gcount();
    if (n > 0) b.Update(reinterpret_cast<const unsigned char*>(buf.data()), static_cast<size_t>(n), h);
  }
  if (in.bad()) return {};
  b.Finish(h);
  return h.Hex();
}

}  // namespace

std::string Md5Hex(const std::string& bytes) { return HashBytes<Md5>(bytes, false); }
std::string Sha256Hex(const std::string& bytes) { return HashBytes<Sha256>(bytes, true); }
std::string Sha1Hex(const std::string& bytes) { return HashBytes<Sha1>(bytes, true); }
std::string Sha1OfFile(const std::string& path) { return HashFile<Sha1>(path, true); }

std::string DigestKindOf(const std::string& hex) {
  for (unsigned char c : hex)
    if (!std::isxdigit(c)) return {};
  switch (hex.size()) {
    case 32: return "MD5";
    case 40: return "SHA-1";
    case 64: return "SHA-256";
    default: return {};
  }
}

std::string FileDigestLike(const std::string& path, const std::string& hexDigest) {
  const std::string kind = DigestKindOf(hexDigest);
  if (kind == "MD5") return HashFile<Md5>(path, false);
  if (kind == "SHA-1") return HashFile<Sha1>(path, true);
  if (kind == "SHA-256") return HashFile<Sha256>(path, true);
  return {};
}

}  // namespace fk
