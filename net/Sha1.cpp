#include "net/Sha1.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace fk {

namespace {

class Sha1 {
 public:
  void Update(const unsigned char* p, size_t n) {
    total_ += n;
    while (n > 0) {
      const size_t take = std::min(n, sizeof block_ - used_);
      std::memcpy(block_ + used_, p, take);
      used_ += take;
      p += take;
      n -= take;
      if (used_ == sizeof block_) {
        Compress(block_);
        used_ = 0;
      }
    }
  }
  std::string HexDigest() {
    const uint64_t bits = total_ * 8;
    const unsigned char one = 0x80;
    Update(&one, 1);
    const unsigned char zero = 0;
    while (used_ != 56) Update(&zero, 1);
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Update(len, 8);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint32_t v : h_)
      for (int shift = 28; shift >= 0; shift -= 4) out += hex[(v >> shift) & 0xF];
    return out;
  }

 private:
  static uint32_t Rol(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }
  void Compress(const unsigned char* b) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t{b[4 * i]} << 24 | uint32_t{b[4 * i + 1]} << 16 | uint32_t{b[4 * i + 2]} << 8 | b[4 * i + 3];
    for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], bb = h_[1], c = h_[2], d = h_[3], e = h_[4];
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
      const uint32_t t = Rol(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = Rol(bb, 30);
      bb = a;
      a = t;
    }
    h_[0] += a;
    h_[1] += bb;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
  }

  std::array<uint32_t, 5> h_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  unsigned char block_[64];
  size_t used_ = 0;
  uint64_t total_ = 0;
};

}  // namespace

std::string Sha1Hex(const std::string& bytes) {
  Sha1 s;
  s.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return s.HexDigest();
}

std::string Sha1OfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  Sha1 s;
  std::vector<char> buf(1 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    s.Update(reinterpret_cast<const unsigned char*>(buf.data()), static_cast<size_t>(in.gcount()));
  }
  return in.bad() ? std::string() : s.HexDigest();
}

}  // namespace fk
