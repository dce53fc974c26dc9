// Partition restore: writes an image file onto the partition selected in the
// "Destination Disk" tree and corrects that partition's MBR entry to the
// image's length and the HFS+ type.
#pragma once

#include "disk/Transfer.h"

namespace fk {

// MBR type byte the restore gives the partition (HFS+).
inline constexpr unsigned char kRestoredPartitionType = 0xAF;

// The worker thread of the Restore button. arg is not read. Talks to the user
// only through GetUi(). An image that is not a whole number of sectors is
// written with its last sector padded with zeros; the MBR entry then counts the
// image's whole sectors only. Returns 1 when the copy loop was reached and finished
// (also when cancelled), 0 when it stopped before, on an I/O error or when the
// read-back verification (GetTransferOptions().verify) found a difference.
int Recover(int arg = 0);

}  // namespace fk
