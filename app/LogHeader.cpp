#include "app/AppState.h"
#include "app/Log.h"
#include "app/Utilities.h"
#include "platform/SystemInfo.h"

namespace fk {

void WriteLogHeader() {
  const std::string separator = "> " + std::string(66, '-');
  // The facts are gathered even when the log is closed, so the start-up cost
  // does not depend on the setting.
  const std::string system = SystemDescription();
  const std::string cpu = CpuBrandString();
  const MemoryInfo mem = PhysicalMemory();
  Log(separator);
  Log("> Application: Flashkeel " + AppVersion() + " by Velk " + BuildDateText());
  Log(separator);
  Log("> System\t: " + system);
  Log("> CPU\t: " + cpu);
  Log("> Total RAM\t: " + FormatSize(mem.totalBytes, 0));
  Log("> Free  RAM\t: " + FormatSize(mem.availableBytes, 0));
  Log(separator);
}

}  // namespace fk
