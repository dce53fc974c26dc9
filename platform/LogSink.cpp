#include "platform/LogSink.h"

#include <atomic>

namespace fk::platform {

namespace {
std::atomic<LogSink> g_sink{nullptr};
}  // namespace

void SetLogSink(LogSink sink) { g_sink.store(sink); }

void LogLine(std::string_view message) {
  if (const LogSink sink = g_sink.load()) sink(message);
}

}  // namespace fk::platform
