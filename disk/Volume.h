// Giving a new partition a usable volume name, and mounting a volume anew.
#pragma once

#include <string>

namespace fk {

// deviceName: "<disk path>@@<byte offset>" of the new partition. Returns its
// device node when the kernel exposes one, else the range name itself; "" on failure.
std::string AssignDriveLetter(const std::string& deviceName);
// Unmounts the volume and mounts it again where it was mounted; nothing to do
// when it is not mounted.
void RemountVolume(const std::string& root);

}  // namespace fk
