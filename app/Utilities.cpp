#include "app/Utilities.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace fk {

static std::string FixedDecimals(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string FormatSize(int64_t bytes, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 255) decimals = 255;
  // The thresholds are compared in single precision, as the sizes are shown.
  const float k = static_cast<float>(bytes) / 1024.0f;
  if (k < 1.0f) return std::to_string(bytes) + " B";
  if (k < 1000.0f) return FixedDecimals(k, decimals) + " KB";
  if (k < 1000000.0f) return FixedDecimals(k / 1024.0f, decimals) + " MB";
  if (k < 1000000000.0f) return FixedDecimals(k / 1048576.0f, decimals + 2) + " GB";
  return FixedDecimals(k / 1073741824.0f, decimals + 2) + " TB";
}

std::string FormatElapsed(int64_t s) {
  if (s < 0) s = 0;
  const int64_t w = s / 604800;
  s -= 604800 * w;
  const int64_t d = s / 86400;
  s -= 86400 * d;
  const int64_t h = s / 3600;
  s -= 3600 * h;
  const int64_t m = s / 60;
  const int64_t r = s - 60 * m;
  auto two = [](int64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "%02lld", static_cast<long long>(v));
    return std::string(b);
  };
  std::string out;
  if (w != 0) out += std::to_string(w) + " w ";
  if (w != 0 || d != 0) out += std::to_string(d) + " d ";
  if (w != 0 || d != 0) out += two(h) + " h ";
  else if (h != 0) out += std::to_string(h) + " h ";
  if (w != 0 || d != 0 || h != 0) out += two(m) + " m ";
  else if (m != 0) out += std::to_string(m) + " m ";
  if (w != 0 || d != 0 || h != 0 || m != 0) out += two(r) + " s ";
  else if (r != 0) out += std::to_string(r) + " s ";
  return out;
}

int64_t MulDiv64(int64_t a, int64_t b, int64_t c) {
  if (c == 0) return -1;
  __int128 p = static_cast<__int128>(a) * b;
  return static_cast<int64_t>(p / c);
}

int64_t GetPerfFrequency() { return 1000000000; }

int64_t GetPerfCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t TickCountMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {
thread_local std::string t_failureReason;
}  // namespace

void NoteFailureReason(const std::string& reason) { t_failureReason = reason; }

std::string TakeFailureReason() {
  std::string out = std::move(t_failureReason);
  t_failureReason.clear();
  return out;
}

std::string WithFailureReason(const std::string& text) {
  const std::string why = TakeFailureReason();
  return why.empty() ? text : text + ": " + why;
}

std::string ErrnoText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

}  // namespace fk
