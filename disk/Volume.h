// Giving a new partition a usable volume name, and mounting a volume anew.
#pragma once

#include <string>

#include "disk/VolumeRef.h"

namespace fk {

// volume: the new partition on a disk of the last enumeration. Returns its
// device node when the kernel exposes one, else its text form; "" when the
// disk is not listed.
std::string AssignDriveLetter(const VolumeRef& volume);
// Unmounts the volume and mounts it again where it was mounted; nothing to do
// when it is not mounted.
void RemountVolume(const std::string& root);

}  // namespace fk
