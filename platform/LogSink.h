// Where the platform layer sends its debug-log lines. The program's log
// installs itself here; until something is installed the lines go nowhere.
#pragma once

#include <string_view>

namespace fk::platform {

using LogSink = void (*)(std::string_view message);

void SetLogSink(LogSink sink);
// Hands one line ("> ..." by convention) to the installed sink.
void LogLine(std::string_view message);

}  // namespace fk::platform
